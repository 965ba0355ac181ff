// Opening and closing the output stream, and the stream callback.

#include <chrono>

#include "engine/audio_engine.hpp"
#include "engine/logger.hpp"

namespace velmora {

bool AudioEngine::openStream() {
    requiredChannels_ = decks_.computeRequiredChannels();
    requiredChannelsMirror_ = requiredChannels_;
    activeBackend_ = config_.backend;
    activeDeviceId_ = config_.deviceId.empty() ? "default" : config_.deviceId;
    activeHostApiName_.clear();
    activeDeviceName_.clear();
    lastError_.clear();
    stream_ = nullptr;
    usingCallbackStream_ = false;
    renderChannels_ = requiredChannels_;
    outputLatencyMs_ = 0.0;
    lastCallbackFrames_ = 0;
    requestedBufferSize_ = std::max(config_.bufferSize, minBufferSize(config_.backend));
    logLine("No output device available.\n");
    setStreamOpen(false);
    lastError_ = "No output device available.";
    return false;
}

void AudioEngine::closeStream() {
    stream_ = nullptr;
    setStreamOpen(false);
    activeHostApiName_.clear();
    activeDeviceName_.clear();
    usingCallbackStream_ = false;
    renderChannels_ = 2;
    outputLatencyMs_ = 0.0;
    lastCallbackFrames_ = 0;
}

int AudioEngine::streamCallback(float* out, unsigned long frames, double outputBufferDacTime,
                                double currentTime, bool timeInfoPresent,
                                unsigned long statusFlags) noexcept {
    constexpr unsigned long kOutputUnderflow = 0x4;
    constexpr unsigned long kOutputOverflow = 0x8;
    if ((statusFlags & (kOutputUnderflow | kOutputOverflow)) != 0) xrunCount_.fetch_add(1);
    const int channels = std::max(renderChannels_.load(std::memory_order_relaxed), 2);
    if (frames == 0 || frames > kMaxRenderFrames || channels > kMaxRenderChannels) {
        xrunCount_.fetch_add(1);
        std::fill_n(out, frames * static_cast<unsigned long>(channels), 0.0f);
        return 0;
    }
    const auto start = std::chrono::steady_clock::now();
    lastCallbackFrames_.store(static_cast<std::int32_t>(frames), std::memory_order_relaxed);
    if (!renderBuffer(out, static_cast<std::uint32_t>(frames), channels))
        std::fill_n(out, frames * static_cast<unsigned long>(channels), 0.0f);
    if (timeInfoPresent)
        outputLatencyMs_.store(std::max(0.0, (outputBufferDacTime - currentTime) * 1000.0),
                               std::memory_order_relaxed);
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const double budgetMs = static_cast<double>(frames) * 1000.0 /
                            std::max(sampleRate_.load(std::memory_order_relaxed), kMinSampleRate);
    const double average = avgCallbackMs_.load(std::memory_order_relaxed);
    avgCallbackMs_.store(average > 0.0 ? average + (elapsedMs - average) * 0.08 : elapsedMs,
                         std::memory_order_relaxed);
    double maximum = maxCallbackMs_.load(std::memory_order_relaxed);
    while (elapsedMs > maximum &&
           !maxCallbackMs_.compare_exchange_weak(maximum, elapsedMs, std::memory_order_relaxed)) {
    }
    const double threshold = budgetMs * (showCriticalMode_.load(std::memory_order_relaxed) ? 0.75 : 0.9);
    if (budgetMs > 0.0 && elapsedMs >= threshold) callbackOverloadCount_.fetch_add(1);
    return 0;
}

std::vector<DeviceInfo> AudioEngine::enumerateDevices(const std::string& backend) {
    std::vector<DeviceInfo> devices;
    if (isAsioBackend(backend)) return devices;
    DeviceInfo fallback;
    fallback.id = "default";
    fallback.name = "Sortie standard (fallback interne)";
    fallback.isDefault = true;
    devices.push_back(fallback);
    return devices;
}

}  // namespace velmora
