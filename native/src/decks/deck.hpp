#pragma once
// The deck record (control side), its lock-free render-side twin and the
// list of runtimes the audio thread mixes.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "decoding/pcm_buffer.hpp"
#include "decoding/streaming_source.hpp"
#include "decoding/track_descriptor.hpp"
#include "realtime/triple_buffer.hpp"

namespace velmora {

struct OutputAssignment {
    std::string deviceId = "default";
    std::int32_t channelOffset = 0;
    std::int32_t channelCount = 2;
};

struct MeterValues {
    double peakL = 0.0;
    double peakR = 0.0;
    double rmsL = 0.0;
    double rmsR = 0.0;
};

// What the script sees of a deck.
struct DeckState {
    std::string deckId;
    bool loaded = false;
    bool playing = false;
    bool paused = false;
    double positionSeconds = 0.0;
    double durationSeconds = 0.0;
    double deckVolume = 1.0;
    double trackGain = 1.0;
    MeterValues meter;
    MeterValues trackMeter;
    std::optional<TrackDescriptor> track;
    OutputAssignment output;
    std::string backend = "standard";
    std::string lastError;
};

inline constexpr std::uint32_t kDeclickFrames = 96;

// Groups of render-owned fields. A publication names the groups it changes;
// the render adopts only those, so that e.g. a volume change never moves the
// playhead back to the position the control side last pulled.
enum PublishGroup : unsigned {
    kPublishTransport = 1U << 0,  // playing, paused
    kPublishPosition = 1U << 1,   // positionFrames, positionSeconds
    kPublishDeclick = 1U << 2,    // declickRemaining
    kPublishVolume = 1U << 3,     // deckVolume, fadeActive, fadeDurationFrames
    kPublishAll = 0xFU,
};
inline constexpr int kPublishGroupCount = 4;

// One whole publication of a deck record, handed to the render through a
// triple buffer so that it is never seen half-written.
struct DeckPublication {
    const PcmBuffer* pcm = nullptr;
    StreamingSource* source = nullptr;
    bool loaded = false;
    bool playing = false;
    bool paused = false;
    double positionSeconds = 0.0;
    double durationSeconds = 0.0;
    double deckVolume = 1.0;
    double trackGain = 1.0;
    double cueInSeconds = 0.0;
    double cueOutSeconds = 0.0;
    std::int32_t channelOffset = 0;
    std::int32_t channelCount = 2;
    double positionFrames = 0.0;
    bool fadeActive = false;
    double fadeFrom = 1.0;
    double fadeTarget = 1.0;
    std::uint64_t fadeStartFrame = 0;
    std::uint64_t fadeDurationFrames = 0;
    std::uint32_t declickRemaining = 0;
    std::uint32_t declickTotal = 0;
    std::array<std::uint64_t, kPublishGroupCount> generation{};
};

// The render-side twin of a deck. Shared between the deck record and every
// MixList that lists it.
//
// Thread roles: the control side (engine lock held) writes `publication` and
// the control-only members; the render (one pass at a time) reads the
// publication and is the only writer of the render-owned atomics, which the
// control side reads back when it pulls.
struct DeckRuntime {
    TripleBuffer<DeckPublication> publication;

    // Control side only.
    DeckPublication lastPublished;
    std::shared_ptr<const PcmBuffer> pcmOwner;
    StreamingSourcePtr sourceOwner;

    // Render-owned.
    std::atomic<bool> playing{false};
    std::atomic<bool> paused{false};
    std::atomic<double> positionSeconds{0.0};
    std::atomic<double> positionFrames{0.0};
    std::atomic<double> deckVolume{1.0};
    std::atomic<bool> fadeActive{false};
    std::atomic<std::uint64_t> fadeDurationFrames{0};
    std::atomic<std::uint32_t> declickRemaining{0};
    std::array<std::atomic<double>, 8> meters{};  // meter L/R peak, rms; trackMeter likewise
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

// The control-side deck record. Guarded by the engine lock.
struct Deck {
    DeckState state;
    PcmBufferPtr pcm;
    StreamingSourcePtr source;
    double positionFrames = 0.0;
    bool fadeActive = false;
    double fadeFrom = 1.0;
    double fadeTarget = 1.0;
    std::uint64_t fadeStartFrame = 0;
    std::uint64_t fadeDurationFrames = 0;
    std::uint32_t declickRemaining = 0;
    std::uint32_t declickTotal = 0;
    DeckRuntimePtr runtime;
    // Set while the deck is routed beyond the channels of the open stream.
    std::string routingError;

    void clearFade() {
        fadeActive = false;
        fadeFrom = fadeTarget = 1.0;
        fadeStartFrame = fadeDurationFrames = 0;
    }
    void armDeclick() { declickRemaining = declickTotal = kDeclickFrames; }
    // Sample rate of the loaded audio, 0 when none.
    std::int32_t audioSampleRate() const;
};

}  // namespace velmora
