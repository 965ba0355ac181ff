// The runtime-information record and the health verdict.

#include <algorithm>

#include "engine/audio_engine.hpp"
#include "engine/messages.hpp"

namespace velmora {

RuntimeInfo AudioEngine::snapshotRuntimeInfo() {
    RuntimeInfo info;
    std::lock_guard lock(engineLock_);
    decks_.pullAll();

    const CallbackStats& stats = output_.stats();
    info.streamOpen = output_.isOpen();
    // The flag outlives the open record while a closing stream's callback stops.
    info.usingCallbackStream = info.streamOpen && output_.usingCallbackStream();
    info.activeBackend = activeBackend_;
    info.activeDeviceId = activeDeviceId_;
    info.activeHostApiName = activeHostApiName_;
    info.activeDeviceName = activeDeviceName_;
    info.channels = requiredChannels_;
    info.sampleRate = config_.sampleRate;
    const std::int32_t lastFrames = stats.lastCallbackFrames.load();
    info.requestedBufferSize = stats.requestedBufferSize.load();
    info.bufferSize = lastFrames > 0 ? lastFrames : info.requestedBufferSize;
    info.outputLatencyMs = stats.outputLatencyMs.load();
    info.xrunCount = stats.xrunCount.load();
    info.callbackDropCount = callbackDropCount_.load();
    info.avgCallbackMs = stats.avgCallbackMs.load();
    info.maxCallbackMs = stats.maxCallbackMs.load();
    info.callbackOverloadCount = stats.callbackOverloadCount.load();
    info.limiterEngagedCount = limiterEngagedCount_.load();
    info.deviceRestartCount = deviceRestartCount_.load();
    info.showCriticalMode = stats.showCriticalMode.load();
    info.masterLimiterEnabled = masterLimiterEnabled_.load();
    info.masterLimiterCeiling = masterLimiterCeiling_.load();
    info.lastError = lastError_;

    if (output_.hasStream()) {
        const StreamStatus status = output_.status();
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
            info.lastError = messages::kStreamNoLongerActive;
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
