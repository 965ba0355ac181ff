#include "binding/records.hpp"

namespace velmora::binding {
namespace {

// Unsigned counters become numbers (exact up to 2^53).
Napi::Number counter(Napi::Env env, std::uint64_t value) {
    return Napi::Number::New(env, static_cast<double>(value));
}

Napi::Object writeMeter(Napi::Env env, const MeterValues& meter) {
    Napi::Object object = Napi::Object::New(env);
    object.Set("peakL", meter.peakL);
    object.Set("peakR", meter.peakR);
    object.Set("rmsL", meter.rmsL);
    object.Set("rmsR", meter.rmsR);
    return object;
}

Napi::Value writeTrack(Napi::Env env, const std::optional<TrackDescriptor>& track) {
    if (!track) return env.Null();
    Napi::Object object = Napi::Object::New(env);
    object.Set("id", track->id);
    object.Set("path", track->path);
    object.Set("name", track->name);
    object.Set("duration", track->duration);
    object.Set("cueIn", track->cueIn);
    object.Set("cueOut", track->cueOut);
    return object;
}

}  // namespace

Napi::Object writeEngineConfig(Napi::Env env, const EngineConfig& config) {
    Napi::Object object = Napi::Object::New(env);
    object.Set("backend", config.backend);
    object.Set("sampleRate", config.sampleRate);
    object.Set("bufferSize", config.bufferSize);
    object.Set("deviceId", config.deviceId);
    object.Set("showCriticalMode", config.showCriticalMode);
    object.Set("masterLimiterEnabled", config.masterLimiterEnabled);
    object.Set("masterLimiterCeiling", config.masterLimiterCeiling);
    return object;
}

Napi::Array writeDeviceList(Napi::Env env, const std::vector<DeviceInfo>& devices) {
    Napi::Array list = Napi::Array::New(env, devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const DeviceInfo& d = devices[i];
        Napi::Object object = Napi::Object::New(env);
        object.Set("id", d.id);
        object.Set("name", d.name);
        object.Set("channels", d.channels);
        object.Set("isDefault", d.isDefault);
        object.Set("backend", d.backend);
        object.Set("hostApiName", d.hostApiName);
        object.Set("isAsio", d.isAsio);
        object.Set("defaultSampleRate", d.defaultSampleRate);
        object.Set("defaultLowOutputLatencyMs", d.defaultLowOutputLatencyMs);
        object.Set("defaultHighOutputLatencyMs", d.defaultHighOutputLatencyMs);
        Napi::Array rates = Napi::Array::New(env, d.supportedSampleRates.size());
        for (std::size_t r = 0; r < d.supportedSampleRates.size(); ++r)
            rates.Set(static_cast<uint32_t>(r), d.supportedSampleRates[r]);
        // One array under both keys.
        object.Set("supportedSampleRates", rates);
        object.Set("asioSupportedSampleRates", rates);
        object.Set("asioMinBufferSize", d.asioMinBufferSize);
        object.Set("asioMaxBufferSize", d.asioMaxBufferSize);
        object.Set("asioPreferredBufferSize", d.asioPreferredBufferSize);
        object.Set("asioGranularity", d.asioGranularity);
        list.Set(static_cast<uint32_t>(i), object);
    }
    return list;
}

Napi::Object writeRuntimeInfo(Napi::Env env, const RuntimeInfo& info) {
    Napi::Object object = Napi::Object::New(env);
    object.Set("streamOpen", info.streamOpen);
    object.Set("streamActive", info.streamActive);
    object.Set("streamStopped", info.streamStopped);
    object.Set("usingCallbackStream", info.usingCallbackStream);
    object.Set("activeBackend", info.activeBackend);
    object.Set("activeDeviceId", info.activeDeviceId);
    object.Set("activeHostApiName", info.activeHostApiName);
    object.Set("activeDeviceName", info.activeDeviceName);
    object.Set("channels", info.channels);
    object.Set("sampleRate", info.sampleRate);
    object.Set("bufferSize", info.bufferSize);
    object.Set("requestedBufferSize", info.requestedBufferSize);
    object.Set("outputLatencyMs", info.outputLatencyMs);
    object.Set("streamCpuLoadPercent", info.streamCpuLoadPercent);
    object.Set("xrunCount", counter(env, info.xrunCount));
    object.Set("callbackDropCount", counter(env, info.callbackDropCount));
    object.Set("streamHealth", info.streamHealth);
    object.Set("callbackBudgetMs", info.callbackBudgetMs);
    object.Set("avgCallbackMs", info.avgCallbackMs);
    object.Set("maxCallbackMs", info.maxCallbackMs);
    object.Set("audioThreadLoadPercent", info.audioThreadLoadPercent);
    object.Set("callbackOverloadCount", counter(env, info.callbackOverloadCount));
    object.Set("limiterEngagedCount", counter(env, info.limiterEngagedCount));
    object.Set("deviceRestartCount", counter(env, info.deviceRestartCount));
    object.Set("showCriticalMode", info.showCriticalMode);
    object.Set("masterLimiterEnabled", info.masterLimiterEnabled);
    object.Set("masterLimiterCeiling", info.masterLimiterCeiling);
    object.Set("lastError", info.lastError);
    return object;
}

Napi::Object writeDeckState(Napi::Env env, const DeckState& state) {
    Napi::Object object = Napi::Object::New(env);
    object.Set("deckId", state.deckId);
    object.Set("loaded", state.loaded);
    object.Set("playing", state.playing);
    object.Set("paused", state.paused);
    object.Set("positionSeconds", state.positionSeconds);
    object.Set("durationSeconds", state.durationSeconds);
    object.Set("deckVolume", state.deckVolume);
    object.Set("trackGain", state.trackGain);
    object.Set("meter", writeMeter(env, state.meter));
    object.Set("trackMeter", writeMeter(env, state.trackMeter));
    object.Set("backend", state.backend);
    object.Set("lastError", state.lastError);
    Napi::Object output = Napi::Object::New(env);
    output.Set("deviceId", state.output.deviceId);
    output.Set("channelOffset", state.output.channelOffset);
    output.Set("channelCount", state.output.channelCount);
    object.Set("output", output);
    object.Set("track", writeTrack(env, state.track));
    return object;
}

Napi::Object writePrepareResult(Napi::Env env, bool ok, const std::string& message) {
    Napi::Object object = Napi::Object::New(env);
    object.Set("ok", ok);
    object.Set("message", ok ? std::string() : message);
    return object;
}

Napi::Object writeWaveformResult(Napi::Env env, const WaveformResult& result) {
    Napi::Object object = Napi::Object::New(env);
    object.Set("ok", result.ok);
    object.Set("message", result.message);
    object.Set("durationSeconds", result.durationSeconds);
    object.Set("sampleRate", result.sampleRate);
    object.Set("channels", result.channels);
    Napi::Array peaks = Napi::Array::New(env, result.peaks.size());
    for (std::size_t i = 0; i < result.peaks.size(); ++i) {
        const WaveformPeak& p = result.peaks[i];
        Napi::Object peak = Napi::Object::New(env);
        peak.Set("min", p.min);
        peak.Set("max", p.max);
        peak.Set("avg", p.avg);
        peak.Set("amp", p.amp);
        peaks.Set(static_cast<uint32_t>(i), peak);
    }
    object.Set("peaks", peaks);
    return object;
}

Napi::Object writeTrimResult(Napi::Env env, const TrimResult& result) {
    Napi::Object object = Napi::Object::New(env);
    object.Set("ok", result.ok);
    object.Set("message", result.message);
    object.Set("cueInSeconds", result.cueInSeconds);
    object.Set("cueOutSeconds", result.cueOutSeconds);
    object.Set("durationSeconds", result.durationSeconds);
    return object;
}

}  // namespace velmora::binding
