#pragma once
// The render-side twin of a deck: the publication the control side hands
// over, the fields the render owns between publications, and the list of
// twins the audio thread mixes.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "decoding/pcm_buffer.hpp"
#include "decoding/streaming_source.hpp"
#include "realtime/triple_buffer.hpp"

namespace velmora {

struct MeterValues {
    double peakL = 0.0;
    double peakR = 0.0;
    double rmsL = 0.0;
    double rmsR = 0.0;
};

// The fields the render moves on between publications, in the groups a
// publication names: the render adopts a group only when the control side
// changed it, so that e.g. a volume change never moves the playhead back to
// the position the control side last pulled.
enum PublishGroup : unsigned {
    kPublishTransport = 1U << 0,
    kPublishPosition = 1U << 1,
    kPublishDeclick = 1U << 2,
    kPublishVolume = 1U << 3,
    kPublishAll = 0xFU,
};
inline constexpr int kPublishGroupCount = 4;

struct TransportGroup {
    bool playing = false;
    bool paused = false;
};
struct PositionGroup {
    double frames = 0.0;  // in the track's own rate, fractional
    double seconds = 0.0;
};
struct DeclickGroup {
    std::uint32_t remaining = 0;
};
struct VolumeGroup {
    double deckVolume = 1.0;
    bool fadeActive = false;
    std::uint64_t fadeDurationFrames = 0;  // 0 once the render ended the fade
};

// One whole publication of a deck record, handed to the render through a
// triple buffer so that it is never seen half-written.
struct DeckPublication {
    const PcmBuffer* pcm = nullptr;
    StreamingSource* source = nullptr;
    bool loaded = false;
    double durationSeconds = 0.0;
    double trackGain = 1.0;
    double cueInSeconds = 0.0;
    double cueOutSeconds = 0.0;
    std::int32_t channelOffset = 0;
    std::int32_t channelCount = 2;
    // The fade's course and the declick ramp's length; the render moves only
    // the volume and declick groups along them.
    double fadeFrom = 1.0;
    double fadeTarget = 1.0;
    std::uint64_t fadeStartFrame = 0;
    std::uint32_t declickTotal = 0;

    TransportGroup transport;
    PositionGroup position;
    DeclickGroup declick;
    VolumeGroup volume;
    std::array<std::uint64_t, kPublishGroupCount> generation{};
};

// The render's own copy of each group: every field its own atomic. Stored
// by the render only; read by the control side when it pulls.
struct RenderedTransport {
    std::atomic<bool> playing{false};
    std::atomic<bool> paused{false};
    TransportGroup load(std::memory_order order) const noexcept { return {playing.load(order), paused.load(order)}; }
    void store(const TransportGroup& v) noexcept {
        playing.store(v.playing, std::memory_order_relaxed);
        paused.store(v.paused, std::memory_order_relaxed);
    }
};
struct RenderedPosition {
    std::atomic<double> frames{0.0};
    std::atomic<double> seconds{0.0};
    PositionGroup load(std::memory_order order) const noexcept { return {frames.load(order), seconds.load(order)}; }
    void store(const PositionGroup& v) noexcept {
        frames.store(v.frames, std::memory_order_relaxed);
        seconds.store(v.seconds, std::memory_order_relaxed);
    }
};
struct RenderedDeclick {
    std::atomic<std::uint32_t> remaining{0};
    DeclickGroup load(std::memory_order order) const noexcept { return {remaining.load(order)}; }
    void store(const DeclickGroup& v) noexcept { remaining.store(v.remaining, std::memory_order_relaxed); }
};
struct RenderedVolume {
    std::atomic<double> deckVolume{1.0};
    std::atomic<bool> fadeActive{false};
    std::atomic<std::uint64_t> fadeDurationFrames{0};
    VolumeGroup load(std::memory_order order) const noexcept {
        return {deckVolume.load(order), fadeActive.load(order), fadeDurationFrames.load(order)};
    }
    void store(const VolumeGroup& v) noexcept {
        deckVolume.store(v.deckVolume, std::memory_order_relaxed);
        fadeActive.store(v.fadeActive, std::memory_order_relaxed);
        fadeDurationFrames.store(v.fadeDurationFrames, std::memory_order_relaxed);
    }
};
// Written only by the render, never published.
struct RenderedMeter {
    std::atomic<double> peakL{0.0};
    std::atomic<double> peakR{0.0};
    std::atomic<double> rmsL{0.0};
    std::atomic<double> rmsR{0.0};
    MeterValues load(std::memory_order order) const noexcept {
        return {peakL.load(order), peakR.load(order), rmsL.load(order), rmsR.load(order)};
    }
    void store(const MeterValues& v) noexcept {
        peakL.store(v.peakL, std::memory_order_relaxed);
        peakR.store(v.peakR, std::memory_order_relaxed);
        rmsL.store(v.rmsL, std::memory_order_relaxed);
        rmsR.store(v.rmsR, std::memory_order_relaxed);
    }
};

// The render-side twin of a deck. Shared between the deck record and every
// MixList that lists it.
//
// Thread roles: the control side (engine lock held) writes `publication` and
// the control-only members; the render (one pass at a time) reads the
// publication and is the only writer of the rendered groups and meters,
// which the control side reads back when it pulls.
struct DeckRuntime {
    TripleBuffer<DeckPublication> publication;

    // Control side only.
    DeckPublication lastPublished;
    std::shared_ptr<const PcmBuffer> pcmOwner;
    StreamingSourcePtr sourceOwner;

    // Render-owned.
    RenderedTransport transport;
    RenderedPosition position;
    RenderedDeclick declick;
    RenderedVolume volume;
    RenderedMeter meter;       // post-fader
    RenderedMeter trackMeter;  // before the deck fader
    // Generation of each group the render has adopted; while it differs from
    // lastPublished's, the publication is still pending.
    std::array<std::atomic<std::uint64_t>, kPublishGroupCount> appliedGeneration{};
};

using DeckRuntimePtr = std::shared_ptr<DeckRuntime>;

// Immutable once published.
struct MixList {
    std::int32_t mixChannels = 2;
    std::vector<DeckRuntimePtr> decks;
};

}  // namespace velmora
