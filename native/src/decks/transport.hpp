#pragma once
// What each transport and parameter operation does to a deck record. The
// engine takes its lock, pulls the render's state into the record, applies
// one of these, and publishes the groups it returns.

#include <cstdint>
#include <functional>
#include <string>

#include "decks/deck.hpp"

namespace velmora {

// Returned by operations that must not publish anything.
inline constexpr unsigned kNoPublish = 0x80000000U;

// Moves a deck's streaming source to a position in seconds; returns the
// position it plays from (where it was, when its file cannot seek).
using SourceSeek = std::function<double(const StreamingSourcePtr&, double)>;

inline constexpr double kMaxVolume = 5.0;
// Volumes and gains: linear, clamped to [0, 5]; NaN is silence.
double clampVolume(double value);

// Duration of the deck's audio in seconds (PCM or streaming source).
double audioDurationSeconds(const Deck& deck);

unsigned applyLoadedTrack(Deck& deck, const TrackDescriptor& track, PcmBufferPtr pcm,
                          StreamingSourcePtr source, const std::string& loadError,
                          const std::string& backend);
unsigned applyPlay(Deck& deck, bool streamOpen, const std::string& engineLastError);
unsigned applyPause(Deck& deck);
unsigned applyStop(Deck& deck, bool resetPosition, const SourceSeek& seekSource);
unsigned applySeek(Deck& deck, double seconds, const SourceSeek& seekSource);
unsigned applyDeckVolume(Deck& deck, double volume);
unsigned applyTrackGain(Deck& deck, double gain);
unsigned applyFade(Deck& deck, std::int32_t durationMs, double targetVolume,
                   std::int32_t sampleRate, std::uint64_t frameClock);
unsigned applyUpdateTrack(Deck& deck, const TrackDescriptor& track, bool preservePlaybackState,
                          bool preservePosition, const SourceSeek& seekSource);

}  // namespace velmora
