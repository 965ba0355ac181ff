#pragma once
// The output stream: PortAudio's stream and the engine's PortAudio
// initialisation, the shape the stream was opened with, the channels the
// callback renders, what the callback measures, and whether the stream still
// plays. The engine decides when to open and close; this type does the
// PortAudio work and keeps each mirrored value behind one setter.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// Why an open stream is given up.
enum class StreamLoss {
    none,
    stoppedByDriver,  // PortAudio says neither active nor stopped: its driver is gone
    silent,           // callbacks came, then none for several buffer periods
};

class OutputStream {
public:
    using Clock = std::chrono::steady_clock;

    // Audio thread. Renders one buffer of at most kMaxRenderFrames frames into
    // `out`; false when it could not, and `out` is then left as it was.
    using RenderFn = bool (*)(void* context, float* out, std::uint32_t frames, int channels) noexcept;

    // What an open attempt works from.
    struct Plan {
        EngineConfig config;
        std::int32_t requiredChannels = 2;
    };
    // The outcome of one attempt. On success the stream is started.
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
        bool jack = false;                       // on JACK's host API
        double latencyMs = 0.0;
        std::vector<std::string> log;            // its log lines, for the caller to write or not
    };
    // A stream taken out of the engine's records, still to be stopped and closed.
    struct Detached {
        void* stream = nullptr;
        bool jack = false;
        bool lost = false;  // given up: aborted rather than stopped
    };

    OutputStream(RenderFn render, void* context) : render_(render), renderContext_(context) {}
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    // PortAudio work, with the device lock held and the engine lock free.
    // Opens with the engine's initialisation, taking one when none is held
    // (a device scan: tens to hundreds of milliseconds). A failed attempt
    // lets go of an initialisation it took; one held before is marked for
    // renewal, since a failure may mean it lost its server.
    Attempt open(const Plan& plan);
    void discard(Attempt& attempt);
    void finishClose(Detached detached);
    // Lets go of the initialisation (slow with a live JACK server: never on a
    // script thread), unless a stream still needs it.
    void release();
    // Whether a stream can be opened on the caller's thread: an initialisation
    // is held and not due for renewal.
    bool readyForCaller() const { return held_ && !stale_; }
    bool held() const { return held_; }
    bool stale() const { return stale_; }

    // Record updates, with the engine lock held.
    void install(const Attempt& attempt, const std::string& deviceId, Clock::time_point now);
    void markFailed();
    Detached detach(bool lost);
    StreamStatus status() const;
    // Device thread. Whether the open stream has stopped playing: its driver
    // gave it up, or its callbacks stopped for several buffer periods.
    StreamLoss checkLoss(Clock::time_point now, std::chrono::milliseconds& silentFor);

    bool isOpen() const { return open_; }                   // engine lock
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
    // Closing a lost stream returns at once, and PortAudio may be terminated
    // and initialised again: true with our patched library, and for every
    // host API but JACK's.
    bool recoverable(bool jack) const;

    RenderFn render_;
    void* renderContext_;

    // Device lock. The engine's PortAudio initialisation, which every stream
    // it opens uses. Pa_Terminate is called only to release it: a stray call
    // could drop the count to zero under a dead stream.
    bool held_ = false;
    bool stale_ = false;  // to be renewed before the next open

    // Engine lock.
    void* stream_ = nullptr;  // PaStream
    bool open_ = false;
    bool jack_ = false;
    std::int32_t channels_ = 0;
    std::int32_t deviceChannels_ = 0;
    std::string deviceId_;
    // What the loss check last saw of the callbacks.
    std::uint64_t seenCallbacks_ = 0;
    bool calledBack_ = false;
    Clock::time_point lastProgress_{};

    // True from a stream's start until it is stopped, so the silent clock
    // never renders beside a callback that may still run.
    std::atomic<bool> openMirror_{false};
    std::atomic<bool> usingCallbackStream_{false};
    std::atomic<std::int32_t> renderChannels_{2};
    std::atomic<std::int32_t> rate_{48000};
    std::atomic<std::uint64_t> callbacks_{0};
    CallbackStats stats_;
};

}  // namespace velmora
