// The runtime-information record and the health verdict.

#include <algorithm>

#include "engine/audio_engine.hpp"
#include "engine/stream_queries.hpp"

namespace velmora {

RuntimeInfo AudioEngine::snapshotRuntimeInfo() {
    RuntimeInfo info;
    std::lock_guard lock(engineLock_);
    decks_.pullAll();

    info.streamOpen = streamOpen_;
    // The flag outlives streamOpen_ while a closing stream's callback stops.
    info.usingCallbackStream = streamOpen_ && usingCallbackStream_.load();
    info.activeBackend = activeBackend_;
    info.activeDeviceId = activeDeviceId_;
    info.activeHostApiName = activeHostApiName_;
    info.activeDeviceName = activeDeviceName_;
    info.channels = requiredChannels_;
    info.sampleRate = config_.sampleRate;
    const std::int32_t lastFrames = lastCallbackFrames_.load();
    info.requestedBufferSize = requestedBufferSize_.load();
    info.bufferSize = lastFrames > 0 ? lastFrames : info.requestedBufferSize;
    info.outputLatencyMs = outputLatencyMs_.load();
    info.xrunCount = xrunCount_.load();
    info.callbackDropCount = callbackDropCount_.load();
    info.avgCallbackMs = avgCallbackMs_.load();
    info.maxCallbackMs = maxCallbackMs_.load();
    info.callbackOverloadCount = callbackOverloadCount_.load();
    info.limiterEngagedCount = limiterEngagedCount_.load();
    info.deviceRestartCount = deviceRestartCount_.load();
    info.showCriticalMode = showCriticalMode_.load();
    info.masterLimiterEnabled = masterLimiterEnabled_.load();
    info.masterLimiterCeiling = masterLimiterCeiling_.load();
    info.lastError = lastError_;

    if (stream_ != nullptr) {
        const StreamStatus status = queryStreamStatus(stream_);
        info.streamActive = status.active == 1;
        info.streamStopped = status.stopped == 1;
        info.streamCpuLoadPercent = std::max(0.0, status.cpuLoad * 100.0);
        if (status.active < 0 && info.lastError.empty()) info.lastError = status.activeErrorText;
        if (status.stopped < 0 && info.lastError.empty()) info.lastError = status.stoppedErrorText;
    } else {
        info.streamActive = false;
        info.streamStopped = true;
        info.streamCpuLoadPercent = 0.0;
    }

    info.callbackBudgetMs = static_cast<double>(std::max(info.bufferSize, 1)) * 1000.0 /
                            std::max(info.sampleRate, kMinSampleRate);
    info.audioThreadLoadPercent =
        info.callbackBudgetMs > 0.0
            ? std::clamp(info.avgCallbackMs / info.callbackBudgetMs * 100.0, 0.0, 1000.0)
            : 0.0;

    if (!info.streamOpen) {
        info.streamHealth = "stopped";
    } else if (!info.streamActive || info.streamStopped) {
        info.streamHealth = "error";
        if (info.lastError.empty())
            info.lastError = "Le driver audio a ouvert le flux mais il n'est plus actif.";
    } else if (!info.lastError.empty()) {
        info.streamHealth = "error";
    } else if (info.callbackOverloadCount > 0 || info.xrunCount > 0) {
        info.streamHealth = "warning";
    } else {
        info.streamHealth = "ok";
    }
    return info;
}

}  // namespace velmora
