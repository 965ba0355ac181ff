#pragma once
// Test-only reach into the engine: set its configuration without starting
// threads, open directly, load PCM into a deck without a decoder, and do what
// the output thread does. The one definition for every test binary.

#include <mutex>
#include <string>

#include "decks/transport.hpp"
#include "decoding/streaming_source.hpp"
#include "engine/audio_engine.hpp"

namespace velmora {

struct AudioEngineTestAccess {
    // What initialize does to open the stream, without starting the threads.
    static bool open(AudioEngine& engine, const EngineConfig& requested) {
        std::lock_guard device(engine.deviceLock_);
        {
            std::lock_guard lock(engine.engineLock_);
            engine.config_ = clampConfig(requested);
            engine.setSampleRate(engine.config_.sampleRate);
        }
        engine.closeStream();
        return engine.openStream();
    }
    // Closes and lets go of PortAudio, as the device thread does once idle.
    static void close(AudioEngine& engine) {
        std::lock_guard device(engine.deviceLock_);
        engine.closeStream();
        engine.output_.release();
    }
    static EngineConfig config(AudioEngine& engine) {
        std::lock_guard lock(engine.engineLock_);
        return engine.config_;
    }
    static void setSampleRate(AudioEngine& engine, std::int32_t rate) { engine.output_.setRate(rate); }
    static void loadPcm(AudioEngine& engine, const std::string& deckId, PcmBufferPtr pcm,
                        const TrackDescriptor& track) {
        {
            std::lock_guard lock(engine.engineLock_);
            Deck& deck = engine.deckFor(deckId);
            const unsigned groups =
                applyLoadedTrack(deck, track, std::move(pcm), nullptr, "", engine.config_.backend);
            engine.decks_.publishDeck(deck, groups);
            engine.decks_.rebuildMixList(engine.requiredChannels_);
        }
        engine.collectGarbage();
    }
    // Puts audio into a deck and sets it playing without a stream, the way a
    // deck that was playing keeps playing after its stream closed.
    static void loadPlaying(AudioEngine& engine, const std::string& deckId, PcmBufferPtr pcm,
                            TrackDescriptor track = {}, StreamingSourcePtr source = nullptr) {
        std::lock_guard lock(engine.engineLock_);
        Deck& deck = engine.deckFor(deckId);
        applyLoadedTrack(deck, track, std::move(pcm), std::move(source), "", "standard");
        deck.state.playing = true;
        engine.decks_.publishDeck(deck, kPublishAll);
        engine.decks_.rebuildMixList(engine.requiredChannels_);
    }
    // What the output thread does on every pass.
    static void refillStreams(AudioEngine& engine) { engine.refillAllStreamingSources(); }
};

}  // namespace velmora
