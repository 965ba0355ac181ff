#pragma once
// A long track played from an open decoder through a ring of float samples,
// already at the engine's rate. When the engine's rate changes, the output
// thread moves the decoder to the new rate (followOutputRate); until then
// the render leaves the source alone rather than play it at the wrong speed.
//
// Thread roles: the ring is single-producer, single-consumer. Refills and
// seeks produce (serialised by sourceLock, on control or output threads); the
// render consumes, without locks. Indices are absolute sample counts: the
// producer writes samples, then publishes writeIndex with release; the
// consumer loads it with acquire, reads, then publishes readIndex and
// playFrame. A seek rewrites all three, so it first excludes the render (see
// tryBeginRender): the render never combines old and new values. Debug
// builds check that each side is one thread at a time.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "decoding/resampling_reader.hpp"
#include "decoding/track_descriptor.hpp"
#include "realtime/thread_role.hpp"

namespace velmora {

struct StreamingSource {
    static constexpr std::uint64_t kRingFrames = 32'000;
    static constexpr std::uint64_t kRefillTargetFrames = 8'000;
    static constexpr std::uint64_t kRefillTargetEmptyFrames = 750;
    static constexpr std::uint64_t kMinBurstFrames = 768;

    // Frames per second of the ring: the engine's rate at open, changed only
    // by followOutputRate (sourceLock held, render excluded).
    std::atomic<std::int32_t> sampleRate{0};
    // Fixed at open.
    std::int32_t channels = 0;
    double durationSeconds = 0.0;
    std::vector<float> ring;

    std::atomic<std::uint64_t> readIndex{0};
    std::atomic<std::uint64_t> writeIndex{0};
    std::atomic<std::uint64_t> playFrame{0};
    // No further frame will be decoded (end of data, or closed).
    std::atomic<bool> endOfStream{false};

    // Serialises refill, seek and close. Taken after the engine lock.
    std::mutex sourceLock;
    std::unique_ptr<ResamplingReader> decoder;  // null once closed

    // Audio thread. Wait-free: returns false, and the render skips this
    // source for the buffer, while a seek is rewriting the indices.
    bool tryBeginRender() noexcept {
        consumer_.enter();
        rendering_.store(true, std::memory_order_seq_cst);
        if (seeking_.load(std::memory_order_seq_cst)) {
            rendering_.store(false, std::memory_order_release);
            consumer_.leave();
            return false;
        }
        return true;
    }
    void endRender() noexcept {
        rendering_.store(false, std::memory_order_release);
        consumer_.leave();
    }

    // The producer side: sourceLock held for the scope's life.
    class ProducerLock {
    public:
        explicit ProducerLock(StreamingSource& source) : lock_(source.sourceLock), role_(source.producer_) {}

    private:
        std::lock_guard<std::mutex> lock_;
        RoleScope role_;
    };
    bool producingHere() const noexcept { return producer_.heldHere(); }

    // Producer side: keeps the render out while the indices are rewritten.
    // Waits at most for one deck render to finish.
    void beginExclusive() noexcept;
    void endExclusive() noexcept { seeking_.store(false, std::memory_order_release); }

    std::uint64_t ringSamples() const noexcept { return ring.size(); }

private:
    std::atomic<bool> rendering_{false};
    std::atomic<bool> seeking_{false};
    ThreadRole producer_;
    ThreadRole consumer_;
};

using StreamingSourcePtr = std::shared_ptr<StreamingSource>;

// Opens the decoder at max(engineSampleRate, kMinSampleRate) and positions it at the
// track's cue-in (a file that cannot seek there is refused). The ring starts
// empty; the caller primes it.
StreamingSourcePtr openStreamingSource(const TrackDescriptor& track, std::int32_t engineSampleRate,
                                       std::string& message);
// Tops the ring up towards its target. True when nothing needed doing or
// frames were added; false on failure (message set) or a closed source (no
// message).
bool refillStreamingSource(StreamingSource* source, std::uint64_t minimumFrames, std::string& message);
// Moves to `seconds` (negative: 0) and refills at once with up to
// max(requestedBufferSize, 768) frames. Returns the position the source plays
// from: `seconds`, or, when its file cannot seek there, where it already was.
double seekStreamingSource(StreamingSource* source, double seconds,
                           std::int32_t requestedBufferSize);
void closeStreamingSource(StreamingSource* source);
// Output thread. Moves the decoder to `engineSampleRate` (at least kMinSampleRate)
// when the ring runs at another rate, keeping the play position, and refills
// at once as a seek does. Nothing to do when the rates agree.
void followOutputRate(StreamingSource* source, std::int32_t engineSampleRate, std::int32_t requestedBufferSize);

}  // namespace velmora
