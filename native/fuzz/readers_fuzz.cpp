// The request readers over arbitrary script values built from the fuzz
// bytes (see fake_napi.hpp for what the value model covers). Every read is
// checked against a reference of the rule: a field counts when `in` finds it
// (own or inherited) and its type matches exactly, else its default applies;
// host failures (null or undefined requests, throwing getters) propagate as
// exceptions and nothing else throws.

#include <napi.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "binding/readers.hpp"
#include "fake_napi.hpp"

using namespace velmora;
using namespace velmora::fuzz;

namespace {

const char* const kNames[] = {
    "deckId", "track", "options", "assignment", "id", "path", "name", "duration", "cueIn", "cueOut",
    "deviceId", "channelOffset", "channelCount", "backend", "sampleRate", "bufferSize", "showCriticalMode",
    "masterLimiterEnabled", "masterLimiterCeiling", "seconds", "volume", "gain", "durationMs", "targetVolume",
    "resetPosition", "preservePosition", "preservePlaybackState", "maxPoints", "postRollSec", "preRollSec",
    "windowMs", "__proto__", "length", ""};
constexpr std::size_t kNameCount = sizeof kNames / sizeof kNames[0];

struct Bytes {
    const std::uint8_t* data;
    std::size_t size;
    std::uint8_t byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    double number() {
        switch (byte() % 10) {
            case 0: return std::nan("");
            case 1: return INFINITY;
            case 2: return -INFINITY;
            case 3: return -0.0;
            case 4: return 2147483648.0;
            case 5: return -1e308;
            case 6: return static_cast<double>(static_cast<std::int8_t>(byte()));
            default: {
                double d = 0.0;
                std::uint8_t raw[8] = {};
                for (auto& b : raw) b = byte();
                std::memcpy(&d, raw, sizeof d);
                return d;
            }
        }
    }
};

FakeValue* build(FakeEnv& env, Bytes& in, int depth) {
    static const napi_valuetype kTypes[] = {napi_undefined, napi_null,   napi_boolean, napi_number, napi_string,
                                            napi_object,    napi_function, napi_symbol,  napi_bigint, napi_external};
    const napi_valuetype type = kTypes[in.byte() % 10];
    FakeValue* v = env.make(type);
    switch (type) {
        case napi_boolean: v->flag = in.byte() & 1; break;
        case napi_number: v->number = in.number(); break;
        case napi_string: {
            const std::size_t length = in.byte();
            for (std::size_t i = 0; i < length && in.size > 0; ++i) v->text.push_back(static_cast<char>(in.byte()));
            if (length == 255) v->text.append(100'000, 'x');  // very long strings
            break;
        }
        case napi_object:
        case napi_function: {
            if (depth > 4) break;
            const int count = in.byte() % 8;
            for (int i = 0; i < count && in.size > 0; ++i) {
                const std::uint8_t pick = in.byte();
                const std::string name = kNames[pick % kNameCount];
                if (pick >= 240) v->throwingGetters[name] = pick & 1;
                else v->properties[name] = build(env, in, depth + 1);
            }
            if (in.byte() % 4 == 0) v->prototype = build(env, in, depth + 1);
            break;
        }
        default: break;
    }
    return v;
}

// The reference: the value a reader must return, or nullopt when it must throw.
struct Found {
    bool throws = false;
    FakeValue* value = nullptr;  // null: absent
};

Found find(FakeValue* object, const std::string& name) {
    if (object->type == napi_undefined || object->type == napi_null) return {true, nullptr};
    if (object->type != napi_object && object->type != napi_function) return {};
    for (FakeValue* v = object; v != nullptr; v = v->prototype) {
        if (v->throwingGetters.count(name)) return {true, nullptr};
        auto it = v->properties.find(name);
        if (it != v->properties.end()) return {false, it->second};
    }
    return {};
}

template <typename T, typename Extract>
std::optional<T> reference(FakeValue* object, const char* name, napi_valuetype type, T fallback, Extract extract) {
    const Found found = find(object, name);
    if (found.throws) return std::nullopt;
    if (found.value == nullptr || found.value->type != type) return fallback;
    return extract(found.value);
}

std::int32_t toInt32(double d) {
    if (!std::isfinite(d)) return 0;
    const double wrapped = std::fmod(std::trunc(d), 4294967296.0);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(wrapped < 0 ? wrapped + 4294967296.0 : wrapped));
}

template <typename T>
bool same(const T& a, const T& b) {
    if constexpr (std::is_same_v<T, double>) return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
    else return a == b;
}

// Runs one reader and checks it against the reference outcome.
template <typename T, typename Call>
void check(FakeEnv& env, const std::optional<T>& expected, Call call) {
    env.exceptionPending = false;
    try {
        const T got = call();
        if (!expected || !same(got, *expected)) __builtin_trap();
    } catch (const Napi::Error&) {
        if (expected) __builtin_trap();
    }
    if (env.exceptionPending) __builtin_trap();  // a thrown host error is taken off the engine
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FakeEnv env;
    Bytes in{data, size};
    FakeValue* request = build(env, in, 0);
    const napi_env e = asEnv(&env);
    const napi_value r = asValue(request);

    for (std::size_t i = 0; i < kNameCount; ++i) {
        const char* name = kNames[i];
        check<std::string>(env, reference<std::string>(request, name, napi_string, "fallback", [](FakeValue* v) { return v->text; }),
                           [&] { return binding::readString(e, r, name, "fallback"); });
        check<double>(env, reference<double>(request, name, napi_number, 1.25, [](FakeValue* v) { return v->number; }),
                      [&] { return binding::readDouble(e, r, name, 1.25); });
        check<std::int32_t>(env, reference<std::int32_t>(request, name, napi_number, 7, [](FakeValue* v) { return toInt32(v->number); }),
                            [&] { return binding::readInt32(e, r, name, 7); });
        check<bool>(env, reference<bool>(request, name, napi_boolean, true, [](FakeValue* v) { return v->flag; }),
                    [&] { return binding::readBool(e, r, name, true); });
    }

    // The composite readers, as the handlers chain them.
    for (const char* field : {"track", "options", "assignment"}) {
        env.exceptionPending = false;
        const Found found = find(request, field);
        try {
            const napi_value nested = binding::readObject(e, r, field);
            if (found.throws) __builtin_trap();
            FakeValue* n = fromValue(nested);
            if (n->type != napi_object && n->type != napi_function) __builtin_trap();
            if (found.value != nullptr && (found.value->type == napi_object || found.value->type == napi_function) &&
                n != found.value)
                __builtin_trap();
            env.exceptionPending = false;
            try {
                const TrackDescriptor track = binding::readTrackDescriptor(e, nested);
                const auto cueIn = reference<double>(n, "cueIn", napi_number, 0.0, [](FakeValue* v) { return v->number; });
                if (!cueIn || !same(track.cueIn, *cueIn)) __builtin_trap();
            } catch (const Napi::Error&) {
                // Only a throwing getter inside the nested object may throw.
            }
            env.exceptionPending = false;
            try {
                const OutputAssignment a = binding::readOutputAssignment(e, nested);
                const auto count = reference<std::int32_t>(n, "channelCount", napi_number, 2,
                                                           [](FakeValue* v) { return toInt32(v->number); });
                if (!count || a.channelCount != *count) __builtin_trap();
            } catch (const Napi::Error&) {
            }
        } catch (const Napi::Error&) {
            if (!found.throws) __builtin_trap();
        }
    }
    env.exceptionPending = false;
    try {
        const EngineConfig config = binding::readEngineConfig(e, r);
        const auto rate = reference<std::int32_t>(request, "sampleRate", napi_number, 48000,
                                                  [](FakeValue* v) { return toInt32(v->number); });
        if (!rate || config.sampleRate != *rate) __builtin_trap();
    } catch (const Napi::Error&) {
    }
    return 0;
}
