#pragma once
// The one engine of the process: configuration, deck registry, track cache,
// the output stream, the engine's own threads and the statistics.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "decks/deck_registry.hpp"
#include "decks/mix_render.hpp"
#include "decoding/track_cache.hpp"
#include "engine/device_info.hpp"
#include "engine/engine_config.hpp"
#include "engine/runtime_info.hpp"
#include "realtime/reclaim_domain.hpp"
#include "realtime/time_histogram.hpp"

namespace velmora {

class AudioEngine {
public:
    // The process-wide engine, created on first use by whichever thread asks
    // first. Holders of the shared reference keep it alive; the module's
    // environment cleanup drops the process-wide reference.
    static std::shared_ptr<AudioEngine> shared();
    static AudioEngine& instance() { return *shared(); }
    static void releaseShared();

    AudioEngine();
    ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // Lifecycle.
    EngineConfig initialize(const EngineConfig& requested);
    void shutdown();

    // Devices and the output.
    std::vector<DeviceInfo> enumerateDevices(const std::string& backend);
    RuntimeInfo snapshotRuntimeInfo();

    // Deck operations: each takes the engine lock for its duration and
    // returns a copy of the deck's state.
    DeckState createDeck(const std::string& deckId);
    bool deleteDeck(const std::string& deckId);
    DeckState assignDeckOutput(const std::string& deckId, const OutputAssignment& assignment);
    DeckState getDeckState(const std::string& deckId);
    DeckState loadTrack(const std::string& deckId, const TrackDescriptor& track);
    DeckState play(const std::string& deckId);
    DeckState pause(const std::string& deckId);
    DeckState stop(const std::string& deckId, bool resetPosition);
    DeckState seek(const std::string& deckId, double seconds);
    DeckState setDeckVolume(const std::string& deckId, double volume);
    DeckState setTrackGain(const std::string& deckId, double gain);
    DeckState updateTrack(const std::string& deckId, const TrackDescriptor& track,
                          bool preservePlaybackState, bool preservePosition);
    DeckState fadeTo(const std::string& deckId, std::int32_t durationMs, double targetVolume);

    // Background jobs.
    TrackCache& trackCache() { return trackCache_; }
    // The engine's rate as analyses use it: config.sampleRate, read without the lock.
    std::int32_t currentSampleRate() const { return sampleRate_.load(std::memory_order_relaxed); }

    // Output internals. openStream and closeStream need the device lock held
    // and the engine lock not held: PortAudio's slow calls run outside it.
    bool openStream();
    void closeStream();
    // Safe from any thread; cheap when the threads already run.
    void startThreads();
    void stopThreads();
    bool threadsRunning() const { return running_.load(); }

    // Audio thread. Lock-free, allocation-free: renders one buffer of every
    // deck into `out` (frames x channels, cleared first), limits it and
    // advances the frame clock. Returns false, leaving `out` untouched, when
    // another thread is rendering at that moment.
    bool renderBuffer(float* out, std::uint32_t frames, int channels) noexcept;

    // Render entry for the stream callback, with timing statistics.
    int streamCallback(float* out, unsigned long frames, double outputBufferDacTime,
                       double currentTime, bool timeInfoPresent, unsigned long statusFlags) noexcept;

    std::uint64_t frameClock() const { return frameClock_.load(); }
    // Every timed callback since the last initialize, for tail percentiles.
    TimeHistogram::Snapshot callbackTimes() const { return callbackTimes_.snapshot(); }
    ReclaimDomain& reclaimDomain() { return reclaim_; }
    std::mutex& engineLock() { return engineLock_; }

private:
    friend struct AudioEngineTestAccess;

    // What an open attempt works from, taken under the engine lock.
    struct OpenPlan {
        EngineConfig config;
        std::int32_t requiredChannels = 2;
        std::uint64_t generation = 0;
    };
    struct OpenResult;
    OpenResult probeAndOpen(const OpenPlan& plan);  // no lock but PortAudio's
    bool streamNeedsReopen() const;                 // lock held
    void refreshRouting();                          // lock held
    void noteDeckRouting(Deck& deck) const;         // lock held

    void startThreadsLocked();  // lifecycle lock held
    void stopThreadsLocked();   // lifecycle lock held
    void outputThreadMain();
    void reopenThreadMain();
    void refillAllStreamingSources();
    void republishAllDecks();
    Deck& deckFor(const std::string& deckId);  // lock held
    double seekSource(const StreamingSourcePtr& source, double seconds);
    DeckState finishDeckOperation(Deck& deck, unsigned groups);  // lock held
    void setStreamOpen(bool open);
    void collectGarbage() { reclaim_.collect(); }

    // Lock order: lifecycle, device, engine. PortAudio's own lock is never
    // taken with the engine lock held.
    // Serialises initialize, shutdown and starting and stopping the threads.
    std::mutex lifecycleLock_;
    // Serialises opening and closing the stream, and is held across
    // PortAudio's slow calls (initialisation, probing, opening, stopping) so
    // that the engine lock is not.
    std::mutex deviceLock_;
    // Guards config_, the deck registry, requiredChannels_, the active* names,
    // streamOpen_, stream_, the stream's shape, lastError_ and routingError_.
    // Held only for short record updates.
    std::mutex engineLock_;
    EngineConfig config_;
    ReclaimDomain reclaim_;
    DeckRegistry decks_{reclaim_};
    std::int32_t requiredChannels_ = 2;
    std::string activeBackend_ = "none";
    std::string activeDeviceId_ = "default";
    std::string activeHostApiName_;
    std::string activeDeviceName_;
    bool streamOpen_ = false;
    void* stream_ = nullptr;  // PaStream
    // The open stream's shape: the channels it renders, the device's output
    // channels and the device id it was opened for.
    std::int32_t streamChannels_ = 0;
    std::int32_t streamDeviceChannels_ = 0;
    std::string streamDeviceId_;
    // Moves whenever what the stream should be changes (device, width), so an
    // open that ran meanwhile without the lock is known to be stale.
    std::uint64_t outputGeneration_ = 0;
    // The engine holds one PortAudio initialisation while a stream is open.
    // Pa_Terminate is called only to release it: a stray call could drop the
    // count to zero under a dead stream and hang in PortAudio. Device lock.
    bool portAudioHeld_ = false;
    std::string lastError_;
    // The routing problem lastError_ shows, if any: decks routed beyond the
    // device's channels while the stream plays on with the channels it has.
    std::string routingError_;
    TrackCache trackCache_;

    // Statistics and real-time state.
    std::atomic<std::uint64_t> xrunCount_{0};
    std::atomic<std::uint64_t> callbackDropCount_{0};
    std::atomic<double> outputLatencyMs_{0.0};
    std::atomic<bool> usingCallbackStream_{false};
    std::atomic<std::int32_t> lastCallbackFrames_{0};
    std::atomic<std::int32_t> requestedBufferSize_{256};
    std::atomic<std::int32_t> renderChannels_{2};
    std::atomic<double> avgCallbackMs_{0.0};
    std::atomic<double> maxCallbackMs_{0.0};
    std::atomic<std::uint64_t> callbackOverloadCount_{0};
    TimeHistogram callbackTimes_;
    std::atomic<std::uint64_t> limiterEngagedCount_{0};
    std::atomic<std::uint64_t> deviceRestartCount_{0};
    std::atomic<bool> showCriticalMode_{false};
    std::atomic<bool> masterLimiterEnabled_{true};
    std::atomic<double> masterLimiterCeiling_{0.98};
    // Mirrors of lock-guarded state for the threads that must not wait on
    // the engine lock (a reopen can hold it for a whole PortAudio start-up).
    std::atomic<std::int32_t> sampleRate_{48000};
    // True from a stream's start until it is stopped, so the silent clock
    // never renders beside a callback that may still run.
    std::atomic<bool> streamOpenMirror_{false};
    std::atomic<std::int32_t> requiredChannelsMirror_{2};

    std::atomic<bool> running_{false};
    std::thread outputThread_;
    std::atomic<bool> reopenRequested_{false};
    std::atomic<bool> reopenInProgress_{false};
    std::atomic<bool> reopenThreadRunning_{false};
    std::thread reopenThread_;
    std::atomic<std::uint64_t> frameClock_{0};

    // One render pass at a time: the callback and the output thread hand
    // this token over when the stream opens or closes.
    std::atomic<bool> renderBusy_{false};
    // The output thread's buffer, allocated with the engine so that no render
    // ever allocates. The callback renders straight into the device buffer.
    std::vector<float> outputThreadScratch_;
};

}  // namespace velmora
