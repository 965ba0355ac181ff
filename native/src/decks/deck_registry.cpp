#include "decks/deck_registry.hpp"

#include <algorithm>
#include <bit>
#include <utility>
#include <limits>

namespace velmora {

std::int32_t Deck::audioSampleRate() const {
    if (pcm && pcm->sampleRate > 0) return pcm->sampleRate;
    if (const std::int32_t rate = source ? source->sampleRate.load() : 0; rate > 0) return rate;
    return 0;
}

DeckState defaultDeckState(const std::string& deckId, const std::string& backend) {
    DeckState state;
    state.deckId = deckId;
    state.backend = backend;
    return state;
}

Deck* DeckRegistry::findDeck(const std::string& deckId) {
    auto it = decks_.find(deckId);
    return it == decks_.end() ? nullptr : &it->second;
}

Deck& DeckRegistry::findOrCreateDeck(const std::string& deckId, const std::string& backend,
                                     const std::string& activeDeviceId) {
    auto [it, inserted] = decks_.try_emplace(deckId);
    Deck& deck = it->second;
    if (inserted) {
        deck.state = defaultDeckState(deckId, backend);
        deck.state.output.deviceId = activeDeviceId;
        deck.state.output.channelCount = 2;
    }
    if (inserted || !deck.runtime) publishDeck(deck, kPublishAll);
    return deck;
}

bool DeckRegistry::removeDeck(const std::string& deckId) { return decks_.erase(deckId) > 0; }

void DeckRegistry::clear() { decks_.clear(); }

void DeckRegistry::ensureRuntime(Deck& deck) {
    if (!deck.runtime) deck.runtime = std::make_shared<DeckRuntime>();
}

void DeckRegistry::publishDeck(Deck& deck, unsigned groups) {
    ensureRuntime(deck);
    DeckRuntime& rt = *deck.runtime;
    const DeckState& s = deck.state;

    DeckPublication p = rt.lastPublished;  // carries the generations forward
    p.pcm = deck.pcm.get();
    p.source = deck.source.get();
    p.loaded = s.loaded;
    p.playing = s.playing;
    p.paused = s.paused;
    p.positionSeconds = s.positionSeconds;
    p.durationSeconds = s.durationSeconds;
    p.deckVolume = s.deckVolume;
    p.trackGain = s.trackGain;
    p.cueInSeconds = s.track ? s.track->cueIn : 0.0;
    p.cueOutSeconds = s.track ? s.track->cueOut : 0.0;
    p.channelOffset = std::max(s.output.channelOffset, 0);
    p.channelCount = std::max(s.output.channelCount, 1);
    p.positionFrames = deck.positionFrames;
    p.fadeActive = deck.fadeActive;
    p.fadeFrom = deck.fadeFrom;
    p.fadeTarget = deck.fadeTarget;
    p.fadeStartFrame = deck.fadeStartFrame;
    p.fadeDurationFrames = deck.fadeDurationFrames;
    p.declickRemaining = deck.declickRemaining;
    p.declickTotal = deck.declickTotal;
    for (int g = 0; g < kPublishGroupCount; ++g)
        if ((groups & (1U << g)) != 0) ++p.generation[g];

    // Hold the new audio before the render can reach it; retire the old only
    // once the new publication is out.
    std::shared_ptr<const PcmBuffer> oldPcm;
    StreamingSourcePtr oldSource;
    if (rt.pcmOwner != deck.pcm) oldPcm = std::exchange(rt.pcmOwner, deck.pcm);
    if (rt.sourceOwner != deck.source) oldSource = std::exchange(rt.sourceOwner, deck.source);

    rt.publication.back() = p;
    rt.publication.publish();
    rt.lastPublished = p;

    if (oldPcm) domain_.retire(std::move(oldPcm));
    if (oldSource) domain_.retire(std::move(oldSource));
}

void DeckRegistry::pullDeckRuntime(Deck& deck) const {
    if (!deck.runtime) return;
    const DeckRuntime& rt = *deck.runtime;
    const DeckPublication& p = rt.lastPublished;
    auto adopted = [&](PublishGroup group) {
        const int g = std::countr_zero(static_cast<unsigned>(group));
        return rt.appliedGeneration[g].load(std::memory_order_acquire) == p.generation[g];
    };
    DeckState& s = deck.state;
    if (adopted(kPublishTransport)) {
        s.playing = rt.playing.load();
        s.paused = rt.paused.load();
    } else {
        s.playing = p.playing;
        s.paused = p.paused;
    }
    if (adopted(kPublishPosition)) {
        s.positionSeconds = rt.positionSeconds.load();
        deck.positionFrames = rt.positionFrames.load();
    } else {
        s.positionSeconds = p.positionSeconds;
        deck.positionFrames = p.positionFrames;
    }
    deck.declickRemaining = adopted(kPublishDeclick) ? rt.declickRemaining.load() : p.declickRemaining;
    if (adopted(kPublishVolume)) {
        s.deckVolume = rt.deckVolume.load();
        deck.fadeActive = rt.fadeActive.load();
        deck.fadeDurationFrames = rt.fadeDurationFrames.load();
    } else {
        s.deckVolume = p.deckVolume;
        deck.fadeActive = p.fadeActive;
        deck.fadeDurationFrames = p.fadeDurationFrames;
    }
    s.meter = {rt.meters[0].load(), rt.meters[1].load(), rt.meters[2].load(), rt.meters[3].load()};
    s.trackMeter = {rt.meters[4].load(), rt.meters[5].load(), rt.meters[6].load(),
                    rt.meters[7].load()};
}

void DeckRegistry::pullAll() {
    for (auto& [id, deck] : decks_) pullDeckRuntime(deck);
}

std::int32_t DeckRegistry::rebuildMixList(std::int32_t requiredChannels) {
    auto list = std::make_shared<MixList>();
    list->mixChannels = std::max(requiredChannels, 2);
    list->decks.reserve(decks_.size());
    for (auto& [id, deck] : decks_) {
        if (!deck.runtime) publishDeck(deck, kPublishAll);
        list->decks.push_back(deck.runtime);
    }
    const std::int32_t channels = list->mixChannels;
    mixList_.publish(std::move(list), domain_);
    return channels;
}

std::int32_t DeckRegistry::computeRequiredChannels() const {
    std::int64_t required = 2;
    for (const auto& [id, deck] : decks_) {
        const std::int64_t offset = std::max<std::int64_t>(deck.state.output.channelOffset, 0);
        const std::int64_t count = std::max<std::int64_t>(deck.state.output.channelCount, 1);
        required = std::max(required, offset + count);
    }
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(required, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace velmora
