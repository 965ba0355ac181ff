// Opening and closing the output stream, and the stream callback. PortAudio's
// slow calls run with the device lock held and the engine lock free; what
// they found is applied under the engine lock in one short step.

#include <portaudio.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <utility>

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

std::string routingMessage(std::int64_t requested, std::int32_t available) {
    return "Requested " + std::to_string(requested) + " output channels, but the device exposes only " +
           std::to_string(available) + ".";
}

// A stream PortAudio reports neither active nor stopped lost its driver
// (a JACK server that died).
bool streamLostItsDriver(PaStream* stream) {
    const PaError active = Pa_IsStreamActive(stream);
    const PaError stopped = Pa_IsStreamStopped(stream);
    return active != 1 && stopped != 1;
}

// Aborting a stream whose driver is gone blocks inside PortAudio until the
// driver answers or PortAudio gives up (minutes), so a detached thread does
// it, outside the PortAudio lock: the abort waits on the stream's own host
// API state. The close, which unlinks the stream from PortAudio's list of
// open streams, is serialised with every other PortAudio call. A stream whose
// abort fails is left alone: closing it would tear down its ports under a
// dead server, which fails an assertion inside PortAudio. The thread keeps
// the engine's initialisation for good, for the same reason.
void closeAbandonedStream(PaStream* stream) {
    std::thread([stream] {
        if (Pa_AbortStream(stream) != paNoError) return;
        std::lock_guard portAudio(portAudioLock());
        Pa_CloseStream(stream);
    }).detach();
}

}  // namespace

// The outcome of one attempt, applied to the engine under its lock.
struct AudioEngine::OpenResult {
    bool ok = false;
    PaStream* stream = nullptr;    // open and started, holding one initialisation
    std::string error;             // why the attempt failed
    std::string routingProblem;    // when open: decks need more channels than the device has
    std::string hostApiName;       // of the resolved device, when one was found
    std::string deviceName;
    std::optional<std::int32_t> bufferSize;  // frames per buffer, once chosen
    std::optional<std::int32_t> sampleRate;  // rate, once chosen
    std::int32_t channels = 0;               // rendered: what the decks need, at most the device's
    std::int32_t deviceChannels = 0;
    double latencyMs = 0.0;
};

AudioEngine::OpenResult AudioEngine::probeAndOpen(const OpenPlan& plan) {
    OpenResult r;
    const EngineConfig& config = plan.config;
    const bool asio = isAsioBackend(config.backend);
    const std::string activeDeviceId = config.deviceId.empty() ? "default" : config.deviceId;
    std::lock_guard portAudio(portAudioLock());

    const PaError initError = Pa_Initialize();
    if (initError != paNoError) {
        r.error = Pa_GetErrorText(initError);
        logLine("Pa_Initialize ERROR: %s\n", r.error.c_str());
        return r;
    }
    auto fail = [&r](const std::string& message) {
        r.error = message;
        return false;
    };
    auto failWithText = [&](const char* format, PaError error) {
        const std::string text = Pa_GetErrorText(error);
        logLine(format, text.c_str());
        return fail(text);
    };
    r.ok = [&] {
        const std::optional<PaDeviceIndex> index = resolveDevice(config.deviceId, asio);
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
        r.hostApiName = host->name != nullptr ? host->name : "";
        r.deviceName = device->name != nullptr ? device->name : "";

        if (device->maxOutputChannels < 2) {
            logLine("Device has less than 2 output channels.\n");
            return fail("Device has less than 2 output channels.");
        }
        // A routing the device cannot carry does not take the output down:
        // the stream opens with the channels the device has, and the decks
        // routed beyond them are not heard.
        r.deviceChannels = device->maxOutputChannels;
        r.channels = std::min(plan.requiredChannels, device->maxOutputChannels);
        if (plan.requiredChannels > device->maxOutputChannels) {
            r.routingProblem = routingMessage(plan.requiredChannels, device->maxOutputChannels);
            logLine("%s\n", r.routingProblem.c_str());
        }

        PaStreamParameters output{};
        output.device = *index;
        output.channelCount = r.channels;
        output.sampleFormat = paFloat32;
        output.suggestedLatency = asio ? 0.0 : device->defaultLowOutputLatency;
        output.hostApiSpecificStreamInfo = nullptr;

        std::int32_t frames = 0;
        if (asio) {
            AsioBufferSizes sizes;
            sizes.ok = platform::asioGetAvailableBufferSizes(*index, &sizes.minSize, &sizes.maxSize,
                                                             &sizes.preferredSize, &sizes.granularity) == 0;
            frames = chooseAsioBufferSize(std::max(config.bufferSize, 1), sizes);
        } else {
            frames = std::max(config.bufferSize, kMinBufferSizeStandard);
        }
        r.bufferSize = frames;

        const std::int32_t requestedRate = std::max(config.sampleRate, kMinSampleRate);
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
        r.sampleRate = rate;

        const PaError formatError = Pa_IsFormatSupported(nullptr, &output, rate);
        if (formatError != paNoError) return failWithText("Pa_IsFormatSupported ERROR: %s\n", formatError);

        logLine("Opening backend=%s deviceId=%s deviceIndex=%d hostApi=%s deviceName=%s maxOut=%d sampleRate=%d "
                "buffer=%d mode=%s\n",
                config.backend.c_str(), activeDeviceId.c_str(), *index,
                host->name != nullptr ? host->name : "unknown", device->name != nullptr ? device->name : "unknown",
                device->maxOutputChannels, rate, frames, "callback");

        // The callback renders with these from its first buffer on.
        renderChannels_ = r.channels;
        sampleRate_ = rate;
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
        if (const PaStreamInfo* info = Pa_GetStreamInfo(stream)) r.latencyMs = info->outputLatency * 1000.0;
        logLine("Pa_StartStream OK (callback stream, backend=%s)\n", config.backend.c_str());
        r.stream = stream;
        return true;
    }();
    if (!r.ok) Pa_Terminate();
    return r;
}

bool AudioEngine::openStream() {
    OpenPlan plan;
    {
        std::lock_guard lock(engineLock_);
        requiredChannels_ = decks_.computeRequiredChannels();
        requiredChannelsMirror_ = requiredChannels_;
        plan = OpenPlan{config_, requiredChannels_, outputGeneration_};
    }
    OpenResult r = probeAndOpen(plan);
    {
        std::lock_guard lock(engineLock_);
        if (plan.generation == outputGeneration_) {
            activeBackend_ = plan.config.backend;
            activeDeviceId_ = plan.config.deviceId.empty() ? "default" : plan.config.deviceId;
            activeHostApiName_ = r.hostApiName;
            activeDeviceName_ = r.deviceName;
            if (r.bufferSize && isAsioBackend(config_.backend)) config_.bufferSize = *r.bufferSize;
            requestedBufferSize_ =
                r.bufferSize ? *r.bufferSize : std::max(config_.bufferSize, minBufferSize(config_.backend));
            if (r.sampleRate) config_.sampleRate = *r.sampleRate;
            sampleRate_ = config_.sampleRate;
            if (r.ok) {
                stream_ = r.stream;
                portAudioHeld_ = true;
                streamChannels_ = r.channels;
                streamDeviceChannels_ = r.deviceChannels;
                streamDeviceId_ = plan.config.deviceId;
                outputLatencyMs_ = r.latencyMs;
                lastCallbackFrames_ = *r.bufferSize;
                usingCallbackStream_ = true;
                setStreamOpen(true);
                lastError_ = r.routingProblem;
                routingError_ = r.routingProblem;
                for (auto& [id, deck] : decks_.decks()) noteDeckRouting(deck);
            } else {
                setStreamOpen(false);
                usingCallbackStream_ = false;
                outputLatencyMs_ = 0.0;
                lastCallbackFrames_ = 0;
                lastError_ = r.error;
                routingError_.clear();
            }
            return r.ok;
        }
        sampleRate_ = config_.sampleRate;
    }
    // The routing or the device changed while this attempt ran without the
    // lock: its stream is not the one wanted. Close it and try again.
    if (r.ok) {
        std::lock_guard portAudio(portAudioLock());
        Pa_StopStream(r.stream);
        Pa_CloseStream(r.stream);
        Pa_Terminate();
    }
    reopenRequested_ = true;
    return false;
}

void AudioEngine::closeStream() {
    PaStream* stream = nullptr;
    bool release = false;
    {
        std::lock_guard lock(engineLock_);
        stream = static_cast<PaStream*>(std::exchange(stream_, nullptr));
        release = std::exchange(portAudioHeld_, false);
        // streamOpenMirror_ and usingCallbackStream_ stay set until the
        // callback has stopped, so the silent clock does not render beside it.
        streamOpen_ = false;
        activeHostApiName_.clear();
        activeDeviceName_.clear();
        streamChannels_ = 0;
        streamDeviceChannels_ = 0;
        streamDeviceId_.clear();
        outputLatencyMs_ = 0.0;
        lastCallbackFrames_ = 0;
    }
    {
        std::lock_guard portAudio(portAudioLock());
        if (stream != nullptr) {
            if (streamLostItsDriver(stream)) {
                closeAbandonedStream(stream);  // keeps our initialisation
                release = false;
            } else {
                Pa_StopStream(stream);
                Pa_CloseStream(stream);
            }
        }
        if (release) Pa_Terminate();
    }
    usingCallbackStream_ = false;
    streamOpenMirror_ = false;
    renderChannels_ = 2;
}

bool AudioEngine::streamNeedsReopen() const {
    return streamOpen_ && (config_.deviceId != streamDeviceId_ ||
                           std::min(requiredChannels_, streamDeviceChannels_) != streamChannels_);
}

void AudioEngine::refreshRouting() {
    std::string problem;
    if (streamOpen_ && requiredChannels_ > streamDeviceChannels_)
        problem = routingMessage(requiredChannels_, streamDeviceChannels_);
    if (problem != routingError_) {
        if (!problem.empty()) logLine("%s\n", problem.c_str());
        if (lastError_ == routingError_) lastError_ = problem;
        routingError_ = std::move(problem);
    }
    for (auto& [id, deck] : decks_.decks()) noteDeckRouting(deck);
}

void AudioEngine::noteDeckRouting(Deck& deck) const {
    if (!streamOpen_) return;
    const std::int64_t needs = static_cast<std::int64_t>(std::max(deck.state.output.channelOffset, 0)) +
                               std::max(deck.state.output.channelCount, 1);
    std::string problem = needs > streamChannels_ ? routingMessage(needs, streamDeviceChannels_) : std::string();
    // Another failure the deck reports (a load, a refused play) stays.
    if (deck.state.lastError.empty() || deck.state.lastError == deck.routingError) deck.state.lastError = problem;
    deck.routingError = std::move(problem);
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
