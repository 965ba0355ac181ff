// The script-facing deck operations: each takes the engine lock, brings the
// record up to date with the render, applies its change and publishes it.

#include <algorithm>

#include "decks/transport.hpp"
#include "decoding/decode_chain.hpp"
#include "decoding/streaming_source.hpp"
#include "engine/audio_engine.hpp"

namespace velmora {

Deck& AudioEngine::deckFor(const std::string& deckId) {
    Deck& deck = decks_.findOrCreateDeck(deckId, config_.backend, activeDeviceId_);
    // Every operation starts from what the render last did, so that nothing
    // it moved (playhead, end of track, fade) is published back stale.
    decks_.pullDeckRuntime(deck);
    return deck;
}

DeckState AudioEngine::finishDeckOperation(Deck& deck, unsigned groups) {
    if (groups != kNoPublish) decks_.publishDeck(deck, groups);
    noteDeckRouting(deck);
    return deck.state;
}

double AudioEngine::seekSource(const StreamingSourcePtr& source, double seconds) {
    return seekStreamingSource(source.get(), seconds, output_.stats().requestedBufferSize.load());
}

DeckState AudioEngine::createDeck(const std::string& deckId) {
    DeckState state;
    {
        std::lock_guard lock(engineLock_);
        Deck& deck = deckFor(deckId);
        deck.state.backend = config_.backend;
        decks_.publishDeck(deck, 0);
        decks_.rebuildMixList(requiredChannels_);
        state = deck.state;
    }
    collectGarbage();
    return state;
}

bool AudioEngine::deleteDeck(const std::string& deckId) {
    bool removed = false;
    {
        std::lock_guard lock(engineLock_);
        Deck* deck = decks_.findDeck(deckId);
        if (deck == nullptr) return false;
        if (deck->source) closeStreamingSource(deck->source.get());
        removed = decks_.removeDeck(deckId);
        decks_.rebuildMixList(requiredChannels_);
    }
    collectGarbage();
    return removed;
}

DeckState AudioEngine::assignDeckOutput(const std::string& deckId, const OutputAssignment& assignment) {
    DeckState state;
    bool reopen = false;
    {
        std::lock_guard lock(engineLock_);
        Deck& deck = deckFor(deckId);
        const std::string previousDeviceId = deck.state.output.deviceId;
        const std::int32_t previousRequired = requiredChannels_;

        deck.state.output = assignment;
        deck.state.output.channelOffset = std::max(deck.state.output.channelOffset, 0);
        deck.state.output.channelCount = std::max(deck.state.output.channelCount, 1);
        setRequiredChannels(decks_.computeRequiredChannels());

        const std::string& next = deck.state.output.deviceId;
        const bool deviceChanged = !next.empty() && next != "default" && next != previousDeviceId &&
                                   next != config_.deviceId;
        if (deviceChanged) config_.deviceId = next;
        if (deviceChanged || requiredChannels_ != previousRequired) ++outputGeneration_;
        // The stream is kept when its channels stay what the device can give.
        reopen = streamNeedsReopen();
        if (!reopen) refreshRouting();
        decks_.publishDeck(deck, 0);
        decks_.rebuildMixList(requiredChannels_);
        noteDeckRouting(deck);
        state = deck.state;
    }
    if (reopen) {
        // Reopened here when that waits on no PortAudio start-up, else by
        // the device thread.
        std::unique_lock device(deviceLock_, std::try_to_lock);
        if (!device.owns_lock() || !canReopenHere()) {
            reopenWanted_ = true;
            return state;
        }
        bool stillNeeded = false;
        {
            std::lock_guard lock(engineLock_);
            stillNeeded = streamNeedsReopen();  // another thread may have reopened meanwhile
        }
        if (stillNeeded) {
            closeStream();
            openStream();
        }
        std::lock_guard lock(engineLock_);
        if (Deck* deck = decks_.findDeck(deckId)) {
            decks_.pullDeckRuntime(*deck);
            noteDeckRouting(*deck);
            state = deck->state;
        }
    }
    return state;
}

DeckState AudioEngine::getDeckState(const std::string& deckId) {
    std::lock_guard lock(engineLock_);
    Deck* deck = decks_.findDeck(deckId);
    if (deck == nullptr) return defaultDeckState(deckId, config_.backend);
    decks_.pullDeckRuntime(*deck);
    return deck->state;
}

DeckState AudioEngine::loadTrack(const std::string& deckId, const TrackDescriptor& track) {
    // Decoding runs before the lock, so other operations and the render go on.
    // A prepared track plays from memory, its file only checked for changes.
    PcmBufferPtr pcm = findCachedTrack(trackCache_, track, /*forPlayback=*/true);
    StreamingSourcePtr source;
    std::string loadError;
    if (!pcm && shouldStreamTrack(track)) {
        source = openStreamingSource(track, output_.rate(), loadError);
        if (source) {
            // Prime once; a failure here does not fail the load.
            std::string primeError;
            const auto minimum = std::max<std::uint64_t>(
                static_cast<std::uint64_t>(std::max(output_.stats().requestedBufferSize.load(), 0)),
                StreamingSource::kRefillTargetEmptyFrames);
            refillStreamingSource(source.get(), minimum, primeError);
        }
    }
    if (!pcm && !source) pcm = decodeTrack(trackCache_, track, /*forPlayback=*/true, loadError);

    DeckState state;
    {
        std::lock_guard lock(engineLock_);
        Deck& deck = deckFor(deckId);
        if (deck.source && deck.source != source) closeStreamingSource(deck.source.get());
        const unsigned groups =
            applyLoadedTrack(deck, track, std::move(pcm), std::move(source), loadError, config_.backend);
        decks_.publishDeck(deck, groups);
        decks_.rebuildMixList(requiredChannels_);
        noteDeckRouting(deck);
        state = deck.state;
    }
    collectGarbage();
    return state;
}

DeckState AudioEngine::play(const std::string& deckId) {
    DeckState state;
    {
        std::lock_guard lock(engineLock_);
        Deck& deck = deckFor(deckId);
        state = finishDeckOperation(deck, applyPlay(deck, output_.isOpen(), lastError_));
    }
    // Every play starts the engine threads when they are not running, so a
    // play before any initialize brings up the default device.
    startThreads();
    return state;
}

DeckState AudioEngine::pause(const std::string& deckId) {
    std::lock_guard lock(engineLock_);
    Deck& deck = deckFor(deckId);
    return finishDeckOperation(deck, applyPause(deck));
}

DeckState AudioEngine::stop(const std::string& deckId, bool resetPosition) {
    std::lock_guard lock(engineLock_);
    Deck& deck = deckFor(deckId);
    return finishDeckOperation(
        deck, applyStop(deck, resetPosition,
                        [this](const auto& s, double t) { return seekSource(s, t); }));
}

DeckState AudioEngine::seek(const std::string& deckId, double seconds) {
    std::lock_guard lock(engineLock_);
    Deck& deck = deckFor(deckId);
    return finishDeckOperation(deck, applySeek(deck, seconds, [this](const auto& s, double t) {
                                   return seekSource(s, t);
                               }));
}

DeckState AudioEngine::setDeckVolume(const std::string& deckId, double volume) {
    std::lock_guard lock(engineLock_);
    Deck& deck = deckFor(deckId);
    return finishDeckOperation(deck, applyDeckVolume(deck, volume));
}

DeckState AudioEngine::setTrackGain(const std::string& deckId, double gain) {
    std::lock_guard lock(engineLock_);
    Deck& deck = deckFor(deckId);
    return finishDeckOperation(deck, applyTrackGain(deck, gain));
}

DeckState AudioEngine::updateTrack(const std::string& deckId, const TrackDescriptor& track,
                                   bool preservePlaybackState, bool preservePosition) {
    std::lock_guard lock(engineLock_);
    Deck& deck = deckFor(deckId);
    return finishDeckOperation(
        deck, applyUpdateTrack(deck, track, preservePlaybackState, preservePosition,
                               [this](const auto& s, double t) { return seekSource(s, t); }));
}

DeckState AudioEngine::fadeTo(const std::string& deckId, std::int32_t durationMs, double targetVolume) {
    std::lock_guard lock(engineLock_);
    Deck& deck = deckFor(deckId);
    return finishDeckOperation(
        deck, applyFade(deck, durationMs, targetVolume, config_.sampleRate, frameClock_.load()));
}

}  // namespace velmora
