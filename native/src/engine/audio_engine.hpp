#pragma once
// The one engine of the process: configuration, deck registry, track cache,
// the output stream, the engine's own threads and the statistics.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "decks/deck_registry.hpp"
#include "decks/mix_render.hpp"
#include "decoding/track_cache.hpp"
#include "engine/device_info.hpp"
#include "engine/engine_config.hpp"
#include "engine/output_stream.hpp"
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
    // Shuts down and ends the device thread, which lets go of PortAudio on
    // its way out, waiting at most `wait`. False when that thread is still
    // inside an audio library: the engine must then outlive it.
    bool retire(std::chrono::milliseconds wait);

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
    std::int32_t currentSampleRate() const { return output_.rate(); }

    // Output internals, with the device lock held and the engine lock free:
    // PortAudio's slow calls run outside the engine lock. openStream takes
    // PortAudio's initialisation when none is held (tens to hundreds of
    // milliseconds). A lost stream is aborted rather than stopped.
    bool openStream();
    void closeStream(bool lost = false);
    // Safe from any thread; cheap when the threads already run. Stopping
    // never waits for PortAudio: the device thread lives on, idle.
    void startThreads();
    void stopThreads();
    bool threadsRunning() const { return running_.load(); }

    // Audio thread. Lock-free, allocation-free: renders one buffer of every
    // deck into `out` (frames x channels, cleared first), limits it and
    // advances the frame clock. Returns false, leaving `out` untouched, when
    // another thread is rendering at that moment.
    bool renderBuffer(float* out, std::uint32_t frames, int channels) noexcept;
    static bool renderInto(void* engine, float* out, std::uint32_t frames, int channels) noexcept {
        return static_cast<AudioEngine*>(engine)->renderBuffer(out, frames, channels);
    }

    std::uint64_t frameClock() const { return frameClock_.load(); }
    // Every timed callback since the last initialize, for tail percentiles.
    TimeHistogram::Snapshot callbackTimes() const { return output_.stats().callbackTimes.snapshot(); }
    ReclaimDomain& reclaimDomain() { return reclaim_; }
    std::mutex& engineLock() { return engineLock_; }

private:
    friend struct AudioEngineTestAccess;

    using Clock = std::chrono::steady_clock;
    // Device lock held: no stream is open, or it still plays (the close of
    // one that stopped may wait on its driver). Takes the engine lock.
    bool streamPlaysOn();
    // Script thread, device lock held: the stream can be closed and opened
    // here without waiting on PortAudio's start-up.
    bool canReopenHere() { return output_.readyForCaller() && streamPlaysOn(); }
    // Script thread, device lock held: initialize opens here. Outside an
    // outage that may take PortAudio's initialisation, as the first open
    // does; during one it never does: the device thread retries.
    bool canOpenHere() { return outage_.load() ? canReopenHere() : !output_.stale() && streamPlaysOn(); }
    void writeAttemptLog(const OutputStream::Attempt& attempt);  // device lock held
    bool streamNeedsReopen() const;                 // lock held
    void refreshRouting();                          // lock held
    void noteDeckRouting(Deck& deck) const;         // lock held

    void startThreadsLocked();  // lifecycle lock held
    void stopThreadsLocked();   // lifecycle lock held
    void outputThreadMain();
    // The device thread: watches the open stream, gives up a lost one and
    // reopens with PortAudio initialised afresh, on a backing-off schedule.
    void deviceThreadMain();
    void serveOutput(Clock::time_point now);
    void loseStream();
    void settleIdle(bool wait = false);
    void refillAllStreamingSources();
    void republishAllDecks();
    Deck& deckFor(const std::string& deckId);  // lock held
    double seekSource(const StreamingSourcePtr& source, double seconds);
    DeckState finishDeckOperation(Deck& deck, unsigned groups);  // lock held
    // Each lock-guarded value and its mirror for the threads that must not
    // wait on the engine lock, set together. Lock held.
    void setRequiredChannels(std::int32_t channels);
    void setSampleRate(std::int32_t rate);
    void collectGarbage() { reclaim_.collect(); }

    // Lock order: lifecycle, device, engine. PortAudio's own lock is never
    // taken with the engine lock held.
    // Serialises initialize, shutdown and starting and stopping the threads.
    std::mutex lifecycleLock_;
    // Serialises opening and closing the stream and PortAudio's
    // initialisation, and is held across PortAudio's slow calls so that the
    // engine lock is not. Script threads only try it: when the device thread
    // holds it, they leave the device work to that thread.
    std::mutex deviceLock_;
    // Guards config_, the deck registry, requiredChannels_, the active* names,
    // the output stream's records, lastError_ and routingError_.
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
    // Moves whenever what the stream should be changes (device, width), so an
    // open that ran meanwhile without the lock is known to be stale.
    std::uint64_t outputGeneration_ = 0;
    std::string lastError_;
    // The routing problem lastError_ shows, if any: decks routed beyond the
    // device's channels while the stream plays on with the channels it has.
    std::string routingError_;
    TrackCache trackCache_;

    // The stream, its PortAudio initialisation and the callback's statistics.
    OutputStream output_{&AudioEngine::renderInto, this};

    // Render statistics and the limiter settings the render reads.
    std::atomic<std::uint64_t> callbackDropCount_{0};
    std::atomic<std::uint64_t> limiterEngagedCount_{0};
    std::atomic<std::uint64_t> deviceRestartCount_{0};
    std::atomic<bool> masterLimiterEnabled_{true};
    std::atomic<double> masterLimiterCeiling_{0.98};
    // Mirror of requiredChannels_ for the output thread, which must not wait on
    // the engine lock.
    std::atomic<std::int32_t> requiredChannelsMirror_{2};

    std::atomic<bool> running_{false};
    std::thread outputThread_;
    // Started with the first threads, ended by retire() or the destructor only.
    std::thread deviceThread_;
    std::atomic<bool> deviceThreadExit_{false};
    std::mutex deviceThreadEndLock_;
    std::condition_variable deviceThreadEnded_;
    bool deviceThreadDone_ = false;  // deviceThreadEndLock_
    // False after shutdown: the device thread closes what is left and lets
    // go of PortAudio.
    std::atomic<bool> streamWanted_{false};
    // Asks the device thread to open at once, and to reopen a stream a
    // script call could not reopen itself.
    std::atomic<bool> openNow_{false};
    std::atomic<bool> reopenWanted_{false};
    // From a lost stream or a failed open until the next open succeeds or
    // shutdown: the device thread is retrying, and script calls leave
    // PortAudio's start-up to it.
    std::atomic<bool> outage_{false};
    // Device thread only.
    int failedAttempts_ = 0;
    std::optional<Clock::time_point> nextAttempt_;
    // Device lock. A failure repeated attempt after attempt is logged once.
    std::string lastFailureLogged_;
    std::atomic<std::uint64_t> frameClock_{0};

    // One render pass at a time: the callback and the output thread hand
    // this token over when the stream opens or closes.
    std::atomic<bool> renderBusy_{false};
    // The output thread's buffer, allocated with the engine so that no render
    // ever allocates. The callback renders straight into the device buffer.
    std::vector<float> outputThreadScratch_;
};

}  // namespace velmora
