// PortAudio's side of the output: its initialisation, device resolution,
// opening, closing, the stream callback, the stream's state queries and the
// check that it still plays.

#include "engine/output_stream.hpp"

#include <portaudio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

#include "decks/mix_render.hpp"
#include "engine/logger.hpp"
#include "engine/messages.hpp"
#include "engine/output_policy.hpp"
#include "engine/portaudio_lock.hpp"
#include "platform/asio.hpp"
#include "realtime/realtime_check.hpp"

// Defined only by our patched PortAudio (scripts/deps): after a JACK server
// died there, closing returns at once and terminating is safe.
extern "C" int PaJack_SurvivesServerDeath(void) __attribute__((weak));

namespace velmora {
namespace {

constexpr PaStreamFlags kStreamFlags = paClipOff | paDitherOff | paPrimeOutputBuffersUsingStreamCallback;

int paStreamCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                     PaStreamCallbackFlags statusFlags, void* userData) {
    auto* stream = static_cast<OutputStream*>(userData);
    if (output == nullptr || stream == nullptr) return paAbort;
    return stream->callback(static_cast<float*>(output), frames,
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

std::optional<PaDeviceIndex> resolveDevice(const std::string& deviceId, bool asio, std::vector<std::string>& log) {
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
            log.push_back(formatLogLine(messages::kLogAsioFallback, candidate,
                                        device != nullptr && device->name != nullptr ? device->name : "?"));
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
// (a JACK server that died).
bool streamLostItsDriver(PaStream* stream) {
    const PaError active = Pa_IsStreamActive(stream);
    const PaError stopped = Pa_IsStreamStopped(stream);
    return active != 1 && stopped != 1;
}

// With the system's PortAudio, aborting a stream whose JACK server died
// blocks inside PortAudio for minutes, so a detached thread does it, outside
// the PortAudio lock: the abort waits on the stream's own host API state. The
// close, which unlinks the stream from PortAudio's list of open streams, is
// serialised with every other PortAudio call. A stream whose abort fails is
// left alone: closing it would tear down its ports under a dead server, which
// fails an assertion inside that library. The thread keeps the engine's
// initialisation for good, for the same reason.
void closeAbandonedStream(PaStream* stream) {
    std::thread([stream] {
        if (Pa_AbortStream(stream) != paNoError) return;
        std::lock_guard portAudio(portAudioLock());
        Pa_CloseStream(stream);
    }).detach();
}

}  // namespace

OutputStream::Attempt OutputStream::open(const Plan& plan) {
    Attempt r;
    const EngineConfig& config = plan.config;
    const bool asio = isAsioBackend(config.backend);
    const std::string activeDeviceId = config.deviceId.empty() ? "default" : config.deviceId;
    std::lock_guard portAudio(portAudioLock());

    // The one place a failure is logged and recorded.
    auto fail = [&r](const char* logFormat, std::string message) {
        r.log.push_back(formatLogLine(logFormat, message.c_str()));
        r.error = std::move(message);
        return false;
    };
    const bool initialized = !held_;
    if (initialized) {
        const PaError initError = Pa_Initialize();
        if (initError != paNoError) {
            fail(messages::kLogInitializeError, Pa_GetErrorText(initError));
            return r;
        }
        held_ = true;
        stale_ = false;
    }
    r.ok = [&] {
        const std::optional<PaDeviceIndex> index = resolveDevice(config.deviceId, asio, r.log);
        if (!index) return fail(messages::kLogMessage, messages::kNoOutputDevice);
        const PaDeviceInfo* device = Pa_GetDeviceInfo(*index);
        if (device == nullptr) return fail(messages::kLogMessage, messages::kInvalidOutputDevice);
        const PaHostApiInfo* host = Pa_GetHostApiInfo(device->hostApi);
        if (host == nullptr) return fail(messages::kLogMessage, messages::kInvalidHostApi);
        if (asio && host->type != paASIO) return fail(messages::kLogMessage, messages::kNotAsioDevice);
        r.hostApiName = host->name != nullptr ? host->name : "";
        r.deviceName = device->name != nullptr ? device->name : "";
        r.jack = host->type == paJACK;
        if (device->maxOutputChannels < 2) return fail(messages::kLogMessage, messages::kTooFewOutputs);

        // A routing the device cannot carry does not take the output down:
        // the stream opens with the channels the device has, and the decks
        // routed beyond them are not heard.
        r.deviceChannels = device->maxOutputChannels;
        r.channels = std::min(plan.requiredChannels, device->maxOutputChannels);
        if (plan.requiredChannels > device->maxOutputChannels) {
            r.routingProblem = messages::routingBeyondDevice(plan.requiredChannels, device->maxOutputChannels);
            r.log.push_back(formatLogLine(messages::kLogMessage, r.routingProblem.c_str()));
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
        if (formatError != paNoError) return fail(messages::kLogFormatError, Pa_GetErrorText(formatError));

        r.log.push_back(formatLogLine(messages::kLogOpening, config.backend.c_str(), activeDeviceId.c_str(), *index,
                                      host->name != nullptr ? host->name : "unknown",
                                      device->name != nullptr ? device->name : "unknown", device->maxOutputChannels,
                                      rate, frames, "callback"));

        // The callback renders with these from its first buffer on.
        renderChannels_ = r.channels;
        setRate(rate);
        PaStream* stream = nullptr;
        const PaError openError = Pa_OpenStream(&stream, nullptr, &output, rate, static_cast<unsigned long>(frames),
                                                kStreamFlags, &paStreamCallback, this);
        if (openError != paNoError || stream == nullptr)
            return fail(messages::kLogOpenError,
                        Pa_GetErrorText(openError != paNoError ? openError : paInternalError));

        const PaError startError = Pa_StartStream(stream);
        if (startError != paNoError) {
            Pa_CloseStream(stream);
            return fail(messages::kLogStartError, Pa_GetErrorText(startError));
        }
        if (const PaStreamInfo* info = Pa_GetStreamInfo(stream)) r.latencyMs = info->outputLatency * 1000.0;
        r.log.push_back(formatLogLine(messages::kLogStarted, config.backend.c_str()));
        r.stream = stream;
        return true;
    }();
    if (!r.ok && initialized) {
        Pa_Terminate();
        held_ = false;
    } else if (!r.ok) {
        stale_ = true;
    }
    return r;
}

void OutputStream::discard(Attempt& attempt) {
    if (!attempt.ok) return;
    attempt.ok = false;
    finishClose(Detached{std::exchange(attempt.stream, nullptr), attempt.jack, false});
}

void OutputStream::release() {
    if (!held_ || openMirror_.load()) return;
    std::lock_guard portAudio(portAudioLock());
    Pa_Terminate();
    held_ = false;
    stale_ = false;
}

bool OutputStream::recoverable(bool jack) const {
    return !jack || (PaJack_SurvivesServerDeath != nullptr && PaJack_SurvivesServerDeath() == 1);
}

void OutputStream::install(const Attempt& attempt, const std::string& deviceId, Clock::time_point now) {
    stream_ = attempt.stream;
    jack_ = attempt.jack;
    seenCallbacks_ = callbacks_.load();
    calledBack_ = false;
    lastProgress_ = now;
    channels_ = attempt.channels;
    deviceChannels_ = attempt.deviceChannels;
    deviceId_ = deviceId;
    stats_.outputLatencyMs = attempt.latencyMs;
    stats_.lastCallbackFrames = *attempt.bufferSize;
    usingCallbackStream_ = true;
    setOpen(true);
}

OutputStream::Detached OutputStream::detach(bool lost) {
    Detached detached{std::exchange(stream_, nullptr), jack_, lost};
    // openMirror_ and usingCallbackStream_ stay set until the callback has
    // stopped, so the silent clock does not render beside it.
    open_ = false;
    channels_ = 0;
    deviceChannels_ = 0;
    deviceId_.clear();
    stats_.outputLatencyMs = 0.0;
    stats_.lastCallbackFrames = 0;
    return detached;
}

void OutputStream::finishClose(Detached detached) {
    if (auto* stream = static_cast<PaStream*>(detached.stream)) {
        if (!detached.lost && !streamLostItsDriver(stream)) {
            std::lock_guard portAudio(portAudioLock());
            Pa_StopStream(stream);
            Pa_CloseStream(stream);
        } else if (recoverable(detached.jack)) {
            // Its initialisation may have lost its server too: renewed
            // before the next open.
            Pa_AbortStream(stream);
            std::lock_guard portAudio(portAudioLock());
            Pa_CloseStream(stream);
            stale_ = true;
        } else {
            closeAbandonedStream(stream);
            held_ = false;  // the abandoned stream keeps it
            stale_ = false;
        }
    }
    usingCallbackStream_ = false;
    openMirror_ = false;
    renderChannels_ = 2;
}

void OutputStream::markFailed() {
    setOpen(false);
    usingCallbackStream_ = false;
    stats_.outputLatencyMs = 0.0;
    stats_.lastCallbackFrames = 0;
}

void OutputStream::setOpen(bool open) {
    open_ = open;
    openMirror_ = open;
}

StreamStatus OutputStream::status() const {
    StreamStatus status;
    if (stream_ == nullptr) return status;
    auto* stream = static_cast<PaStream*>(stream_);
    status.active = Pa_IsStreamActive(stream);
    status.stopped = Pa_IsStreamStopped(stream);
    status.cpuLoad = Pa_GetStreamCpuLoad(stream);
    if (status.active < 0) status.activeErrorText = Pa_GetErrorText(status.active);
    if (status.stopped < 0) status.stoppedErrorText = Pa_GetErrorText(status.stopped);
    return status;
}

void OutputStream::resetStats(std::int32_t requestedBufferSize, bool showCriticalMode) {
    stats_.xrunCount = 0;
    stats_.lastCallbackFrames = 0;
    stats_.requestedBufferSize = requestedBufferSize;
    stats_.avgCallbackMs = 0.0;
    stats_.maxCallbackMs = 0.0;
    stats_.callbackTimes.reset();
    stats_.callbackOverloadCount = 0;
    stats_.showCriticalMode = showCriticalMode;
}

StreamLoss OutputStream::checkLoss(Clock::time_point now, std::chrono::milliseconds& silentFor) {
    if (stream_ == nullptr) return StreamLoss::none;
    if (streamLostItsDriver(static_cast<PaStream*>(stream_))) return StreamLoss::stoppedByDriver;
    const std::uint64_t seen = callbacks_.load(std::memory_order_relaxed);
    if (seen != seenCallbacks_) {
        calledBack_ = true;
        seenCallbacks_ = seen;
        lastProgress_ = now;
        return StreamLoss::none;
    }
    // A stream that never called back is not judged: some hosts start late.
    silentFor = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastProgress_);
    const std::int32_t frames = std::max(stats_.lastCallbackFrames.load(), 1);
    return calledBack_ && silentFor > silenceLimit(frames, rate()) ? StreamLoss::silent : StreamLoss::none;
}

int OutputStream::callback(float* out, unsigned long frames, double outputBufferDacTime, double currentTime,
                           bool timeInfoPresent, unsigned long statusFlags) noexcept {
    [[maybe_unused]] realtime::RealtimeSection section;
    if (out == nullptr) return paAbort;
    callbacks_.fetch_add(1, std::memory_order_relaxed);
    if ((statusFlags & (paOutputUnderflow | paOutputOverflow)) != 0) stats_.xrunCount.fetch_add(1);
    const int channels = std::max(renderChannels_.load(std::memory_order_relaxed), 2);
    const std::size_t frameCount = frames;
    if (frameCount == 0 || channels > kMaxRenderChannels) {
        stats_.xrunCount.fetch_add(1);
        std::fill_n(out, frameCount * static_cast<std::size_t>(channels), 0.0f);
        return paContinue;
    }
    const auto start = std::chrono::steady_clock::now();
    stats_.lastCallbackFrames.store(static_cast<std::int32_t>(frames), std::memory_order_relaxed);
    // Larger device buffers are rendered as consecutive render buffers, as if
    // the device had asked for them one by one.
    for (std::size_t done = 0; done < frameCount;) {
        const auto slice = static_cast<std::uint32_t>(std::min<std::size_t>(frameCount - done, kMaxRenderFrames));
        float* at = out + done * static_cast<std::size_t>(channels);
        if (!render_(renderContext_, at, slice, channels))
            std::fill_n(at, static_cast<std::size_t>(slice) * channels, 0.0f);
        done += slice;
    }
    if (timeInfoPresent)
        stats_.outputLatencyMs.store(std::max(0.0, (outputBufferDacTime - currentTime) * 1000.0),
                                     std::memory_order_relaxed);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const double elapsedMs = std::chrono::duration<double, std::milli>(elapsed).count();
    stats_.callbackTimes.record(static_cast<std::uint64_t>(
        std::max<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count(), 0)));
    const double budgetMs = static_cast<double>(frames) * 1000.0 / std::max(rate(), kMinSampleRate);
    const double average = stats_.avgCallbackMs.load(std::memory_order_relaxed);
    stats_.avgCallbackMs.store(average > 0.0 ? average + (elapsedMs - average) * 0.08 : elapsedMs,
                               std::memory_order_relaxed);
    double maximum = stats_.maxCallbackMs.load(std::memory_order_relaxed);
    while (elapsedMs > maximum &&
           !stats_.maxCallbackMs.compare_exchange_weak(maximum, elapsedMs, std::memory_order_relaxed)) {
    }
    const double threshold = budgetMs * (stats_.showCriticalMode.load(std::memory_order_relaxed) ? 0.75 : 0.9);
    if (budgetMs > 0.0 && elapsedMs >= threshold) stats_.callbackOverloadCount.fetch_add(1);
    return paContinue;
}

}  // namespace velmora
