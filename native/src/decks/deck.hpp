#pragma once
// The deck record: the control side of a deck, guarded by the engine lock.
// Its render-side twin is in deck_runtime.hpp.

#include <cstdint>
#include <optional>
#include <string>

#include "decks/deck_runtime.hpp"
#include "decks/gain_ramp.hpp"
#include "decoding/track_descriptor.hpp"

namespace velmora {

struct OutputAssignment {
    std::string deviceId = "default";
    std::int32_t channelOffset = 0;
    std::int32_t channelCount = 2;
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

// The fade-in after a load, play or seek: `remaining` of `total` frames.
struct DeckDeclick {
    std::uint32_t remaining = 0;
    std::uint32_t total = 0;
};

// The control-side deck record. Guarded by the engine lock.
struct Deck {
    DeckState state;
    PcmBufferPtr pcm;
    StreamingSourcePtr source;
    double positionFrames = 0.0;
    Fade fade;
    DeckDeclick declick;
    DeckRuntimePtr runtime;
    // Set while the deck is routed beyond the channels of the open stream.
    std::string routingError;

    void clearFade() { fade = Fade{}; }
    void armDeclick() { declick = {kDeclickFrames, kDeclickFrames}; }
    // Sample rate of the loaded audio, 0 when none.
    std::int32_t audioSampleRate() const;
};

}  // namespace velmora
