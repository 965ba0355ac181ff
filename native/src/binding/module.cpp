// Module registration and the script functions. Each handler reads its
// request, calls one engine operation and converts the record it returns.

#include <napi.h>

#include <atomic>
#include <exception>
#include <memory>

#include "binding/jobs.hpp"
#include "binding/messages.hpp"
#include "binding/readers.hpp"
#include "binding/records.hpp"
#include "engine/audio_engine.hpp"

namespace velmora::binding {
namespace {

using Handler = Napi::Value (*)(const Napi::CallbackInfo&);

// Engine-side surprises (allocation failure, a system error from a mutex)
// reach the script as an Error with their message instead of aborting.
template <Handler handler>
Napi::Value guarded(const Napi::CallbackInfo& info) {
    try {
        return handler(info);
    } catch (const Napi::Error&) {
        throw;
    } catch (const std::exception& error) {
        throw Napi::Error::New(info.Env(), error.what());
    } catch (...) {
        throw Napi::Error::New(info.Env(), messages::kUnknownNativeError);
    }
}

AudioEngine& engine() { return AudioEngine::instance(); }

std::string deckIdOf(napi_env env, napi_value request) { return readString(env, request, "deckId", ""); }

Napi::Value initialize(const Napi::CallbackInfo& info) {
    const EngineConfig config = readEngineConfig(info.Env(), optionalObjectArgument(info));
    return writeEngineConfig(info.Env(), engine().initialize(config));
}

Napi::Value shutdown(const Napi::CallbackInfo& info) {
    engine().shutdown();
    return info.Env().Undefined();
}

Napi::Value getDevices(const Napi::CallbackInfo& info) {
    const std::string backend = readString(info.Env(), optionalObjectArgument(info), "backend", "standard");
    return writeDeviceList(info.Env(), engine().enumerateDevices(backend));
}

Napi::Value createDeck(const Napi::CallbackInfo& info) {
    const std::string deckId = deckIdOf(info.Env(), requestOf(info));
    return writeDeckState(info.Env(), engine().createDeck(deckId));
}

Napi::Value deleteDeck(const Napi::CallbackInfo& info) {
    const std::string deckId = deckIdOf(info.Env(), requestOf(info));
    return Napi::Boolean::New(info.Env(), engine().deleteDeck(deckId));
}

Napi::Value assignDeckOutput(const Napi::CallbackInfo& info) {
    napi_value request = requestOf(info);
    const std::string deckId = deckIdOf(info.Env(), request);
    const OutputAssignment assignment =
        readOutputAssignment(info.Env(), readObject(info.Env(), request, "assignment"));
    return writeDeckState(info.Env(), engine().assignDeckOutput(deckId, assignment));
}

Napi::Value loadTrack(const Napi::CallbackInfo& info) {
    napi_value request = requestOf(info);
    const std::string deckId = deckIdOf(info.Env(), request);
    const TrackDescriptor track = readTrackDescriptor(info.Env(), readObject(info.Env(), request, "track"));
    return writeDeckState(info.Env(), engine().loadTrack(deckId, track));
}

Napi::Value getRuntimeInfo(const Napi::CallbackInfo& info) {
    return writeRuntimeInfo(info.Env(), engine().snapshotRuntimeInfo());
}

Napi::Value play(const Napi::CallbackInfo& info) {
    const std::string deckId = deckIdOf(info.Env(), requestOf(info));
    return writeDeckState(info.Env(), engine().play(deckId));
}

Napi::Value pause(const Napi::CallbackInfo& info) {
    const std::string deckId = deckIdOf(info.Env(), requestOf(info));
    return writeDeckState(info.Env(), engine().pause(deckId));
}

Napi::Value stop(const Napi::CallbackInfo& info) {
    napi_value request = requestOf(info);
    const std::string deckId = deckIdOf(info.Env(), request);
    const bool reset = readBool(info.Env(), readObject(info.Env(), request, "options"), "resetPosition", true);
    return writeDeckState(info.Env(), engine().stop(deckId, reset));
}

Napi::Value seek(const Napi::CallbackInfo& info) {
    napi_value request = requestOf(info);
    const std::string deckId = deckIdOf(info.Env(), request);
    const double seconds = readDouble(info.Env(), request, "seconds", 0.0);
    return writeDeckState(info.Env(), engine().seek(deckId, seconds));
}

Napi::Value setDeckVolume(const Napi::CallbackInfo& info) {
    napi_value request = requestOf(info);
    const std::string deckId = deckIdOf(info.Env(), request);
    const double volume = readDouble(info.Env(), request, "volume", 1.0);
    return writeDeckState(info.Env(), engine().setDeckVolume(deckId, volume));
}

Napi::Value setTrackGain(const Napi::CallbackInfo& info) {
    napi_value request = requestOf(info);
    const std::string deckId = deckIdOf(info.Env(), request);
    const double gain = readDouble(info.Env(), request, "gain", 1.0);
    return writeDeckState(info.Env(), engine().setTrackGain(deckId, gain));
}

Napi::Value updateTrack(const Napi::CallbackInfo& info) {
    napi_value request = requestOf(info);
    const std::string deckId = deckIdOf(info.Env(), request);
    const TrackDescriptor track = readTrackDescriptor(info.Env(), readObject(info.Env(), request, "track"));
    napi_value options = readObject(info.Env(), request, "options");
    const bool preservePosition = readBool(info.Env(), options, "preservePosition", true);
    const bool preservePlaybackState = readBool(info.Env(), options, "preservePlaybackState", true);
    return writeDeckState(info.Env(),
                          engine().updateTrack(deckId, track, preservePlaybackState, preservePosition));
}

Napi::Value fadeTo(const Napi::CallbackInfo& info) {
    napi_value request = requestOf(info);
    const std::string deckId = deckIdOf(info.Env(), request);
    const std::int32_t durationMs = readInt32(info.Env(), request, "durationMs", 0);
    const double targetVolume = readDouble(info.Env(), request, "targetVolume", 0.0);
    return writeDeckState(info.Env(), engine().fadeTo(deckId, durationMs, targetVolume));
}

Napi::Value getDeckState(const Napi::CallbackInfo& info) {
    const std::string deckId = deckIdOf(info.Env(), requestOf(info));
    return writeDeckState(info.Env(), engine().getDeckState(deckId));
}

Napi::Value prepareTrack(const Napi::CallbackInfo& info) {
    TrackDescriptor track = readTrackDescriptor(info.Env(), readObject(info.Env(), requestOf(info), "track"));
    return startPrepareTrackJob(info.Env(), std::move(track));
}

Napi::Value analyzeWaveform(const Napi::CallbackInfo& info) {
    napi_value request = requestOf(info);
    TrackDescriptor track = readTrackDescriptor(info.Env(), readObject(info.Env(), request, "track"));
    const std::int32_t maxPoints =
        readInt32(info.Env(), readObject(info.Env(), request, "options"), "maxPoints", 1200);
    return startWaveformJob(info.Env(), std::move(track), maxPoints);
}

Napi::Value analyzeTrim(const Napi::CallbackInfo& info) {
    napi_value request = requestOf(info);
    TrackDescriptor track = readTrackDescriptor(info.Env(), readObject(info.Env(), request, "track"));
    napi_value options = readObject(info.Env(), request, "options");
    const double postRollSec = readDouble(info.Env(), options, "postRollSec", 0.3);
    const double preRollSec = readDouble(info.Env(), options, "preRollSec", 0.3);
    const double windowMs = readDouble(info.Env(), options, "windowMs", 10.0);
    return startTrimJob(info.Env(), std::move(track), windowMs, preRollSec, postRollSec);
}

struct FunctionEntry {
    const char* name;
    Napi::Function::Callback callback;
};

constexpr FunctionEntry kFunctions[] = {
    {"initialize", guarded<initialize>},
    {"shutdown", guarded<shutdown>},
    {"getDevices", guarded<getDevices>},
    {"createDeck", guarded<createDeck>},
    {"deleteDeck", guarded<deleteDeck>},
    {"assignDeckOutput", guarded<assignDeckOutput>},
    {"loadTrack", guarded<loadTrack>},
    {"getRuntimeInfo", guarded<getRuntimeInfo>},
    {"play", guarded<play>},
    {"pause", guarded<pause>},
    {"stop", guarded<stop>},
    {"seek", guarded<seek>},
    {"setDeckVolume", guarded<setDeckVolume>},
    {"setTrackGain", guarded<setTrackGain>},
    {"updateTrack", guarded<updateTrack>},
    {"fadeTo", guarded<fadeTo>},
    {"getDeckState", guarded<getDeckState>},
    {"prepareTrack", guarded<prepareTrack>},
    {"analyzeWaveform", guarded<analyzeWaveform>},
    {"analyzeTrim", guarded<analyzeTrim>},
};

// Loads of the module not yet torn down: one per environment (the main
// thread, each worker), and one more for every further load in the same
// environment (a test runner deleting its require cache entry and loading the
// module again). The engine is shut down when the last one is torn down, never
// by a static destructor at process exit.
std::atomic<int> liveLoads{0};

// One per load: the host refuses the same cleanup hook and data twice.
struct Load {};

void releaseLoad(void* load) {
    delete static_cast<Load*>(load);
    if (liveLoads.fetch_sub(1) == 1) AudioEngine::releaseShared();
}

}  // namespace

Napi::Object registerModule(Napi::Env env, Napi::Object exports) {
    for (const FunctionEntry& entry : kFunctions) {
        // Created without a name: each function's `name` is "".
        exports.Set(entry.name, Napi::Function::New(env, entry.callback));
    }
    auto load = std::make_unique<Load>();
    check(env, napi_add_env_cleanup_hook(env, releaseLoad, load.get()));
    load.release();
    liveLoads.fetch_add(1);
    return exports;
}

}  // namespace velmora::binding

static Napi::Object initModule(Napi::Env env, Napi::Object exports) {
    return velmora::binding::registerModule(env, exports);
}

NODE_API_MODULE(velmora_audio_native, initModule)
