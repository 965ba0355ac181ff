#include "binding/readers.hpp"

namespace velmora::binding {
namespace {

// The field's value when present, else null.
napi_value presentField(napi_env env, napi_value object, const char* field) {
    bool present = false;
    check(env, napi_has_named_property(env, object, field, &present));
    if (!present) return nullptr;
    napi_value value = nullptr;
    check(env, napi_get_named_property(env, object, field, &value));
    return value;
}

napi_valuetype typeOf(napi_env env, napi_value value) {
    napi_valuetype type = napi_undefined;
    check(env, napi_typeof(env, value, &type));
    return type;
}

napi_value newObject(napi_env env) {
    napi_value object = nullptr;
    check(env, napi_create_object(env, &object));
    return object;
}

}  // namespace

void check(napi_env env, napi_status status) {
    if (status != napi_ok) throw Napi::Error::New(env);
}

std::string readString(napi_env env, napi_value object, const char* field, const std::string& fallback) {
    napi_value value = presentField(env, object, field);
    if (value == nullptr || typeOf(env, value) != napi_string) return fallback;
    size_t length = 0;
    check(env, napi_get_value_string_utf8(env, value, nullptr, 0, &length));
    std::string text(length, '\0');
    check(env, napi_get_value_string_utf8(env, value, text.data(), length + 1, &length));
    return text;
}

double readDouble(napi_env env, napi_value object, const char* field, double fallback) {
    napi_value value = presentField(env, object, field);
    if (value == nullptr || typeOf(env, value) != napi_number) return fallback;
    double number = 0.0;
    check(env, napi_get_value_double(env, value, &number));
    return number;
}

std::int32_t readInt32(napi_env env, napi_value object, const char* field, std::int32_t fallback) {
    napi_value value = presentField(env, object, field);
    if (value == nullptr || typeOf(env, value) != napi_number) return fallback;
    std::int32_t number = 0;
    check(env, napi_get_value_int32(env, value, &number));
    return number;
}

bool readBool(napi_env env, napi_value object, const char* field, bool fallback) {
    napi_value value = presentField(env, object, field);
    if (value == nullptr || typeOf(env, value) != napi_boolean) return fallback;
    bool flag = false;
    check(env, napi_get_value_bool(env, value, &flag));
    return flag;
}

napi_value readObject(napi_env env, napi_value object, const char* field) {
    napi_value value = presentField(env, object, field);
    if (value != nullptr) {
        const napi_valuetype type = typeOf(env, value);
        if (type == napi_object || type == napi_function) return value;
    }
    return newObject(env);
}

napi_value requestOf(const Napi::CallbackInfo& info) {
    if (info.Length() > 0) return info[0];
    napi_value undefined = nullptr;
    check(info.Env(), napi_get_undefined(info.Env(), &undefined));
    return undefined;
}

napi_value optionalObjectArgument(const Napi::CallbackInfo& info) {
    if (info.Length() > 0) {
        const napi_valuetype type = typeOf(info.Env(), info[0]);
        if (type == napi_object || type == napi_function) return info[0];
    }
    return newObject(info.Env());
}

EngineConfig readEngineConfig(napi_env env, napi_value object) {
    const EngineConfig defaults;
    EngineConfig config;
    config.backend = readString(env, object, "backend", defaults.backend);
    config.sampleRate = readInt32(env, object, "sampleRate", defaults.sampleRate);
    config.bufferSize = readInt32(env, object, "bufferSize", defaults.bufferSize);
    config.deviceId = readString(env, object, "deviceId", defaults.deviceId);
    config.showCriticalMode = readBool(env, object, "showCriticalMode", defaults.showCriticalMode);
    config.masterLimiterEnabled = readBool(env, object, "masterLimiterEnabled", defaults.masterLimiterEnabled);
    config.masterLimiterCeiling = readDouble(env, object, "masterLimiterCeiling", defaults.masterLimiterCeiling);
    return config;
}

TrackDescriptor readTrackDescriptor(napi_env env, napi_value object) {
    TrackDescriptor track;
    track.id = readString(env, object, "id", "");
    track.path = readString(env, object, "path", "");
    track.name = readString(env, object, "name", "");
    track.duration = readDouble(env, object, "duration", 0.0);
    track.cueIn = readDouble(env, object, "cueIn", 0.0);
    track.cueOut = readDouble(env, object, "cueOut", 0.0);
    return track;
}

OutputAssignment readOutputAssignment(napi_env env, napi_value object) {
    OutputAssignment assignment;
    assignment.deviceId = readString(env, object, "deviceId", "default");
    assignment.channelOffset = readInt32(env, object, "channelOffset", 0);
    assignment.channelCount = readInt32(env, object, "channelCount", 2);
    return assignment;
}

}  // namespace velmora::binding
