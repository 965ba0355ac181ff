#include "decks/transport.hpp"

#include <algorithm>
#include <cmath>

#include "decks/messages.hpp"
#include "decoding/messages.hpp"

namespace velmora {
namespace {

// Times from the script: NaN counts as 0. Infinities stay, for the clamps
// where they are used (an infinite cue-out plays to the end).
double zeroIfNan(double value) { return std::isnan(value) ? 0.0 : value; }

double clampPosition(double seconds, double duration) {
    return std::max(0.0, std::min(duration, zeroIfNan(seconds)));
}

bool hasUsableAudio(const Deck& deck) {
    if (deck.pcm && deck.pcm->channels >= 1 && deck.pcm->sampleRate > 0) return true;
    return deck.source && deck.source->channels >= 1 && deck.source->sampleRate >= 1;
}

// Sets both positions; moves a streaming source along, and follows it when
// it cannot go there.
void reposition(Deck& deck, double seconds, const SourceSeek& seekSource) {
    if (deck.source && seekSource) seconds = seekSource(deck.source, seconds);
    if (deck.pcm && deck.pcm->sampleRate > 0) {
        deck.positionFrames = deck.pcm->sampleRate * seconds;
    } else if (const std::int32_t rate = deck.source ? deck.source->sampleRate.load() : 0; rate > 0) {
        deck.positionFrames = rate * seconds;
    } else {
        deck.positionFrames = 0.0;
    }
    deck.state.positionSeconds = seconds;
}

}  // namespace

double clampVolume(double value) {
    if (std::isnan(value)) return 0.0;
    return std::clamp(value, 0.0, kMaxVolume);
}

double audioDurationSeconds(const Deck& deck) {
    if (deck.pcm) return deck.pcm->durationSeconds();
    if (deck.source) return deck.source->durationSeconds;
    return 0.0;
}

unsigned applyLoadedTrack(Deck& deck, const TrackDescriptor& track, PcmBufferPtr pcm,
                          StreamingSourcePtr source, const std::string& loadError,
                          const std::string& backend) {
    DeckState& s = deck.state;
    s.track = track;
    s.loaded = s.playing = s.paused = false;
    s.lastError.clear();
    s.backend = backend;
    deck.pcm = std::move(pcm);
    deck.source = std::move(source);
    deck.clearFade();
    if (!deck.pcm && !deck.source) {
        deck.positionFrames = 0.0;
        s.durationSeconds = std::max(0.0, zeroIfNan(track.duration));
        s.positionSeconds = clampPosition(track.cueIn, s.durationSeconds);
        s.lastError = loadError.empty() ? messages::kTrackDecodingFailed : loadError;
        return kPublishAll;
    }
    s.durationSeconds = audioDurationSeconds(deck);
    s.loaded = true;
    s.positionSeconds = clampPosition(track.cueIn, s.durationSeconds);
    deck.positionFrames = std::max(deck.audioSampleRate(), 1) * s.positionSeconds;
    deck.armDeclick();
    return kPublishAll;
}

unsigned applyPlay(Deck& deck, bool streamOpen, const std::string& engineLastError) {
    DeckState& s = deck.state;
    if (s.loaded && (deck.pcm || deck.source)) {
        if (streamOpen) {
            s.paused = false;
            s.playing = true;
            s.lastError.clear();
            deck.armDeclick();
            return kPublishTransport | kPublishDeclick;
        }
        // Refused: the transport stays as the render has it (a deck already
        // playing on the silent clock keeps playing, a paused one stays
        // paused), so the answer agrees with every later state read.
        s.lastError = engineLastError.empty() ? messages::kStreamNotOpen : engineLastError;
        return kNoPublish;
    }
    s.playing = false;
    s.paused = false;
    if (s.lastError.empty()) s.lastError = messages::kNoDecodableTrack;
    return kNoPublish;
}

unsigned applyPause(Deck& deck) {
    deck.state.playing = false;
    deck.state.paused = true;
    return kPublishTransport;
}

unsigned applyStop(Deck& deck, bool resetPosition, const SourceSeek& seekSource) {
    DeckState& s = deck.state;
    s.playing = false;
    s.paused = false;
    deck.clearFade();
    unsigned groups = kPublishTransport | kPublishVolume;
    if (resetPosition) {
        const double cueIn = s.track ? s.track->cueIn : 0.0;
        reposition(deck, clampPosition(cueIn, s.durationSeconds), seekSource);
        groups |= kPublishPosition;
    }
    return groups;
}

unsigned applySeek(Deck& deck, double seconds, const SourceSeek& seekSource) {
    const double duration = std::max(0.0, deck.state.durationSeconds);
    reposition(deck, clampPosition(seconds, duration), seekSource);
    deck.armDeclick();
    return kPublishPosition | kPublishDeclick;
}

unsigned applyDeckVolume(Deck& deck, double volume) {
    const double v = clampVolume(volume);
    deck.state.deckVolume = v;
    // A running fade goes on and takes over again from the next frame.
    if (!deck.fade.active) {
        deck.fade.from = deck.fade.target = v;
        deck.fade.durationFrames = 0;
    }
    return kPublishVolume;
}

unsigned applyTrackGain(Deck& deck, double gain) {
    deck.state.trackGain = clampVolume(gain);
    return 0;
}

unsigned applyFade(Deck& deck, std::int32_t durationMs, double targetVolume,
                   std::int32_t sampleRate, std::uint64_t frameClock) {
    const double target = clampVolume(targetVolume);
    if (durationMs > 0) {
        deck.fade.active = true;
        deck.fade.from = deck.state.deckVolume;
        deck.fade.target = target;
        deck.fade.startFrame = frameClock;
        const double frames = std::round(static_cast<double>(sampleRate) * durationMs / 1000.0);
        deck.fade.durationFrames = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::max(frames, 0.0)));
    } else {
        deck.clearFade();
        deck.state.deckVolume = target;
    }
    return kPublishVolume;
}

unsigned applyUpdateTrack(Deck& deck, const TrackDescriptor& track, bool preservePlaybackState,
                          bool preservePosition, const SourceSeek& seekSource) {
    DeckState& s = deck.state;
    const bool wasPlaying = s.playing;
    const bool wasPaused = s.paused;
    const double oldPos = s.positionSeconds;
    const bool usable = hasUsableAudio(deck);
    const bool sameTrack = s.loaded && s.track && track.id == s.track->id &&
                           track.path == s.track->path && usable;
    s.track = track;
    s.lastError.clear();

    if (!usable) {
        s.loaded = s.playing = s.paused = false;
        s.durationSeconds = std::max(0.0, zeroIfNan(track.duration));
        s.positionSeconds = clampPosition(track.cueIn, s.durationSeconds);
        s.lastError = messages::kNoDecodableTrack;
        return kPublishTransport | kPublishPosition;
    }

    const double duration = audioDurationSeconds(deck);
    s.loaded = true;
    s.durationSeconds = duration;
    const double cueOut = zeroIfNan(track.cueOut);
    const double in = clampPosition(track.cueIn, duration);
    const double out = cueOut > 0.0 ? std::max(in, std::min(duration, cueOut)) : duration;

    if (sameTrack && preservePlaybackState && preservePosition) {
        double pos = clampPosition(oldPos, duration);
        bool moved = false;
        if (!wasPlaying && pos < in) {
            pos = in;
            moved = true;
        }
        if (cueOut > 0.0 && pos > out) {
            pos = out;
            moved = true;
        }
        s.positionSeconds = pos;
        s.playing = wasPlaying;
        s.paused = wasPaused;
        if (!moved) return kPublishTransport;
        reposition(deck, pos, seekSource);
        deck.armDeclick();
        return kPublishTransport | kPublishPosition | kPublishDeclick;
    }

    double start = preservePosition ? oldPos : in;
    if (!preservePlaybackState || (!wasPlaying && !wasPaused)) start = in;
    double pos = clampPosition(start, duration);
    if (!wasPlaying) pos = std::max(in, pos);
    if (cueOut > 0.0) pos = std::min(out, pos);
    reposition(deck, pos, seekSource);
    deck.armDeclick();
    s.playing = preservePlaybackState && wasPlaying;
    s.paused = preservePlaybackState && wasPaused;
    return kPublishTransport | kPublishPosition | kPublishDeclick;
}

}  // namespace velmora
