#pragma once
// The output stream: PortAudio's stream and the initialisation it holds, the
// shape it was opened with, the channels the callback renders and what the
// callback measures. The engine decides when to open and close; this type
// does the PortAudio work and keeps each mirrored value behind one setter.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/engine_config.hpp"
#include "realtime/time_histogram.hpp"

namespace velmora {

// What the callback (and the silent clock's refused passes) measure. Reset by
// initialize; every field is read by getRuntimeInfo without a lock.
struct CallbackStats {
    std::atomic<std::uint64_t> xrunCount{0};
    std::atomic<double> outputLatencyMs{0.0};
    std::atomic<std::int32_t> lastCallbackFrames{0};
    std::atomic<std::int32_t> requestedBufferSize{256};  // frames per buffer asked of the stream
    std::atomic<double> avgCallbackMs{0.0};
    std::atomic<double> maxCallbackMs{0.0};
    std::atomic<std::uint64_t> callbackOverloadCount{0};
    TimeHistogram callbackTimes;
    std::atomic<bool> showCriticalMode{false};  // the overload threshold the callback applies
};

// PortAudio's view of an open stream (1 yes, 0 no, negative: error code).
struct StreamStatus {
    int active = 0;
    int stopped = 1;
    double cpuLoad = 0.0;
    std::string activeErrorText;
    std::string stoppedErrorText;
};

class OutputStream {
public:
    // Audio thread. Renders one buffer of at most kMaxRenderFrames frames into
    // `out`; false when it could not, and `out` is then left as it was.
    using RenderFn = bool (*)(void* context, float* out, std::uint32_t frames, int channels) noexcept;

    // What an open attempt works from.
    struct Plan {
        EngineConfig config;
        std::int32_t requiredChannels = 2;
    };
    // The outcome of one attempt. On success the stream is started and holds
    // one PortAudio initialisation until it is installed or discarded.
    struct Attempt {
        bool ok = false;
        void* stream = nullptr;        // PaStream
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
    // A stream taken out of the engine's records, still to be stopped and closed.
    struct Detached {
        void* stream = nullptr;
        bool held = false;  // the initialisation it holds
    };

    OutputStream(RenderFn render, void* context) : render_(render), renderContext_(context) {}
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    // PortAudio work, with the device lock held and the engine lock free.
    Attempt open(const Plan& plan);
    void discard(Attempt& attempt);
    void finishClose(Detached detached);

    // Record updates, with the engine lock held.
    void install(const Attempt& attempt, const std::string& deviceId);
    void markFailed();
    Detached detach();
    StreamStatus status() const;

    bool isOpen() const { return open_; }             // engine lock
    bool openMirror() const { return openMirror_.load(); }  // any thread
    bool usingCallbackStream() const { return usingCallbackStream_.load(); }
    bool hasStream() const { return stream_ != nullptr; }
    // The open stream's shape: the channels it renders, the device's output
    // channels and the device id it was opened for. Engine lock.
    std::int32_t channels() const { return channels_; }
    std::int32_t deviceChannels() const { return deviceChannels_; }
    const std::string& deviceId() const { return deviceId_; }

    // The rate the stream runs at, read by the render and the engine's
    // threads; its lock-guarded twin is the engine's config.sampleRate.
    std::int32_t rate() const { return rate_.load(std::memory_order_relaxed); }
    void setRate(std::int32_t rate) { rate_.store(rate, std::memory_order_relaxed); }

    // Starts every statistic afresh for a stream asking `requestedBufferSize` frames.
    void resetStats(std::int32_t requestedBufferSize, bool showCriticalMode);
    CallbackStats& stats() { return stats_; }
    const CallbackStats& stats() const { return stats_; }

    // Audio thread. Lock-free, allocation-free: renders the device buffer
    // through the render function, in slices, and records its timing.
    int callback(float* out, unsigned long frames, double outputBufferDacTime, double currentTime,
                 bool timeInfoPresent, unsigned long statusFlags) noexcept;

private:
    void setOpen(bool open);

    RenderFn render_;
    void* renderContext_;

    // Engine lock.
    void* stream_ = nullptr;  // PaStream
    // One PortAudio initialisation, held while a stream is open. Pa_Terminate
    // is called only to release it: a stray call could drop the count to zero
    // under a dead stream and hang in PortAudio.
    bool held_ = false;
    bool open_ = false;
    std::int32_t channels_ = 0;
    std::int32_t deviceChannels_ = 0;
    std::string deviceId_;

    // True from a stream's start until it is stopped, so the silent clock
    // never renders beside a callback that may still run.
    std::atomic<bool> openMirror_{false};
    std::atomic<bool> usingCallbackStream_{false};
    std::atomic<std::int32_t> renderChannels_{2};
    std::atomic<std::int32_t> rate_{48000};
    CallbackStats stats_;
};

}  // namespace velmora
