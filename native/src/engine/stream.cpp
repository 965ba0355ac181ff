// Opening and closing the output stream, and the stream callback.

#include <portaudio.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "engine/audio_engine.hpp"
#include "engine/logger.hpp"
#include "engine/output_policy.hpp"
#include "engine/portaudio_lock.hpp"
#include "platform/asio.hpp"
#include "realtime/realtime_check.hpp"

namespace velmora {
namespace {

constexpr PaStreamFlags kStreamFlags = paClipOff | paDitherOff | paPrimeOutputBuffersUsingStreamCallback;
static_assert(kStreamFlags == 0x0B);

int paStreamCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                     PaStreamCallbackFlags statusFlags, void* userData) {
    auto* engine = static_cast<AudioEngine*>(userData);
    if (output == nullptr || engine == nullptr) return paAbort;
    return engine->streamCallback(static_cast<float*>(output), frames,
                                  time != nullptr ? time->outputBufferDacTime : 0.0,
                                  time != nullptr ? time->currentTime : 0.0, time != nullptr, statusFlags);
}

// Both infos present, at least 2 outputs and, in ASIO mode, an ASIO host API.
bool usableDevice(PaDeviceIndex index, bool asio) {
    const PaDeviceInfo* device = Pa_GetDeviceInfo(index);
    if (device == nullptr) return false;
    const PaHostApiInfo* host = Pa_GetHostApiInfo(device->hostApi);
    if (host == nullptr || device->maxOutputChannels < 2) return false;
    return !asio || host->type == paASIO;
}

std::optional<PaDeviceIndex> resolveDevice(const std::string& deviceId, bool asio) {
    std::optional<PaDeviceIndex> index;
    if (!deviceId.empty() && deviceId != "default") {
        const std::optional<std::int32_t> parsed = parseDeviceIndex(deviceId);
        if (parsed && usableDevice(*parsed, asio)) index = *parsed;
    }
    if (!index && asio) {
        const PaDeviceIndex count = Pa_GetDeviceCount();
        for (PaDeviceIndex candidate = 0; candidate < count; ++candidate) {
            if (!usableDevice(candidate, true)) continue;
            index = candidate;
            const PaDeviceInfo* device = Pa_GetDeviceInfo(candidate);
            logLine("[ASIO] Device re-resolved by fallback: index %d -> \"%s\"\n", candidate,
                    device != nullptr && device->name != nullptr ? device->name : "?");
            break;
        }
    }
    if (!index) {
        const PaDeviceIndex fallback = Pa_GetDefaultOutputDevice();
        if (fallback >= 0) index = fallback;
    }
    return index;
}

// A stream PortAudio reports neither active nor stopped lost its driver
// (a JACK server that died). Closing it blocks inside PortAudio until the
// driver answers or PortAudio gives up (minutes), so a detached thread does
// it. That thread keeps the engine's initialisation for good: tearing down a
// host API whose server died fails an assertion inside PortAudio and aborts
// the process.
bool streamLostItsDriver(PaStream* stream) {
    const PaError active = Pa_IsStreamActive(stream);
    const PaError stopped = Pa_IsStreamStopped(stream);
    return active != 1 && stopped != 1;
}

void closeAbandonedStream(PaStream* stream) {
    std::thread([stream] { Pa_CloseStream(stream); }).detach();
}

}  // namespace

bool AudioEngine::openStream() {
    std::lock_guard portAudio(portAudioLock());
    const bool asio = isAsioBackend(config_.backend);
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

    const PaError initError = Pa_Initialize();
    if (initError != paNoError) {
        setStreamOpen(false);
        lastError_ = Pa_GetErrorText(initError);
        logLine("Pa_Initialize ERROR: %s\n", lastError_.c_str());
        return false;
    }
    portAudioHeld_ = true;

    auto fail = [this](const std::string& message) {
        setStreamOpen(false);
        lastError_ = message;
        stream_ = nullptr;
        usingCallbackStream_ = false;
        outputLatencyMs_ = 0.0;
        lastCallbackFrames_ = 0;
        Pa_Terminate();
        portAudioHeld_ = false;
        return false;
    };
    auto failWithText = [&](const char* format, PaError error) {
        const std::string text = Pa_GetErrorText(error);
        logLine(format, text.c_str());
        return fail(text);
    };

    const std::optional<PaDeviceIndex> index = resolveDevice(config_.deviceId, asio);
    if (!index) {
        logLine("No output device available.\n");
        return fail("No output device available.");
    }
    const PaDeviceInfo* device = Pa_GetDeviceInfo(*index);
    if (device == nullptr) {
        logLine("Invalid output device.\n");
        return fail("Invalid output device.");
    }
    const PaHostApiInfo* host = Pa_GetHostApiInfo(device->hostApi);
    if (host == nullptr) {
        logLine("Invalid host API.\n");
        return fail("Invalid host API.");
    }
    if (asio && host->type != paASIO) {
        logLine("Selected device is not an ASIO device.\n");
        return fail("Selected device is not an ASIO device.");
    }
    activeHostApiName_ = host->name != nullptr ? host->name : "";
    activeDeviceName_ = device->name != nullptr ? device->name : "";

    requiredChannels_ = decks_.computeRequiredChannels();
    requiredChannelsMirror_ = requiredChannels_;
    if (device->maxOutputChannels < 2) {
        logLine("Device has less than 2 output channels.\n");
        return fail("Device has less than 2 output channels.");
    }
    if (requiredChannels_ > device->maxOutputChannels) {
        const std::string message = "Requested " + std::to_string(requiredChannels_) +
                                    " output channels, but the device exposes only " +
                                    std::to_string(device->maxOutputChannels) + ".";
        logLine("%s\n", message.c_str());
        return fail(message);
    }

    PaStreamParameters output{};
    output.device = *index;
    output.channelCount = requiredChannels_;
    output.sampleFormat = paFloat32;
    output.suggestedLatency = asio ? 0.0 : device->defaultLowOutputLatency;
    output.hostApiSpecificStreamInfo = nullptr;

    std::int32_t frames = 0;
    if (asio) {
        AsioBufferSizes sizes;
        sizes.ok = platform::asioGetAvailableBufferSizes(*index, &sizes.minSize, &sizes.maxSize,
                                                         &sizes.preferredSize, &sizes.granularity) == 0;
        frames = chooseAsioBufferSize(std::max(config_.bufferSize, 1), sizes);
        config_.bufferSize = frames;
    } else {
        frames = std::max(config_.bufferSize, kMinBufferSizeStandard);
    }
    requestedBufferSize_ = frames;

    const std::int32_t requestedRate = std::max(config_.sampleRate, kMinSampleRate);
    std::int32_t rate = requestedRate;
    if (!asio) {
        const std::int32_t candidates[] = {requestedRate,
                                           static_cast<std::int32_t>(std::lround(device->defaultSampleRate)),
                                           48000, 44100, 96000, 88200};
        for (const std::int32_t candidate : candidates) {
            if (candidate < kMinSampleRate) continue;
            if (Pa_IsFormatSupported(nullptr, &output, candidate) == paNoError) {
                rate = candidate;
                break;
            }
        }
    }
    config_.sampleRate = rate;
    sampleRate_ = rate;

    const PaError formatError = Pa_IsFormatSupported(nullptr, &output, rate);
    if (formatError != paNoError) return failWithText("Pa_IsFormatSupported ERROR: %s\n", formatError);

    logLine("Opening backend=%s deviceId=%s deviceIndex=%d hostApi=%s deviceName=%s maxOut=%d sampleRate=%d "
            "buffer=%d mode=%s\n",
            config_.backend.c_str(), activeDeviceId_.c_str(), *index,
            host->name != nullptr ? host->name : "unknown", device->name != nullptr ? device->name : "unknown",
            device->maxOutputChannels, config_.sampleRate, config_.bufferSize, "callback");

    PaStream* stream = nullptr;
    const PaError openError = Pa_OpenStream(&stream, nullptr, &output, rate, static_cast<unsigned long>(frames),
                                            kStreamFlags, &paStreamCallback, this);
    if (openError != paNoError || stream == nullptr)
        return failWithText("Pa_OpenStream ERROR: %s\n", openError != paNoError ? openError : paInternalError);

    const PaError startError = Pa_StartStream(stream);
    if (startError != paNoError) {
        Pa_CloseStream(stream);
        return failWithText("Pa_StartStream ERROR: %s\n", startError);
    }

    if (const PaStreamInfo* info = Pa_GetStreamInfo(stream)) outputLatencyMs_ = info->outputLatency * 1000.0;
    lastCallbackFrames_ = frames;
    logLine("Pa_StartStream OK (callback stream, backend=%s)\n", config_.backend.c_str());
    stream_ = stream;
    setStreamOpen(true);
    usingCallbackStream_ = true;
    renderChannels_ = requiredChannels_;
    return true;
}

void AudioEngine::closeStream() {
    std::lock_guard portAudio(portAudioLock());
    bool release = portAudioHeld_;
    if (stream_ != nullptr) {
        auto* stream = static_cast<PaStream*>(stream_);
        if (streamLostItsDriver(stream)) {
            closeAbandonedStream(stream);  // keeps our initialisation
            release = false;
        } else {
            Pa_StopStream(stream);
            Pa_CloseStream(stream);
        }
        stream_ = nullptr;
    }
    if (release) Pa_Terminate();
    portAudioHeld_ = false;
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
    [[maybe_unused]] realtime::RealtimeSection section;
    if (out == nullptr) return paAbort;
    if ((statusFlags & (paOutputUnderflow | paOutputOverflow)) != 0) xrunCount_.fetch_add(1);
    const int channels = std::max(renderChannels_.load(std::memory_order_relaxed), 2);
    const std::size_t frameCount = frames;
    if (frameCount == 0 || channels > kMaxRenderChannels) {
        xrunCount_.fetch_add(1);
        std::fill_n(out, frameCount * static_cast<std::size_t>(channels), 0.0f);
        return paContinue;
    }
    const auto start = std::chrono::steady_clock::now();
    lastCallbackFrames_.store(static_cast<std::int32_t>(frames), std::memory_order_relaxed);
    // Larger device buffers are rendered as consecutive render buffers, as if
    // the device had asked for them one by one.
    for (std::size_t done = 0; done < frameCount;) {
        const auto slice = static_cast<std::uint32_t>(std::min<std::size_t>(frameCount - done, kMaxRenderFrames));
        float* at = out + done * static_cast<std::size_t>(channels);
        if (!renderBuffer(at, slice, channels)) std::fill_n(at, static_cast<std::size_t>(slice) * channels, 0.0f);
        done += slice;
    }
    if (timeInfoPresent)
        outputLatencyMs_.store(std::max(0.0, (outputBufferDacTime - currentTime) * 1000.0),
                               std::memory_order_relaxed);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const double elapsedMs = std::chrono::duration<double, std::milli>(elapsed).count();
    callbackTimes_.record(static_cast<std::uint64_t>(
        std::max<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count(), 0)));
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
    return paContinue;
}

}  // namespace velmora
