#include "decks/deck_registry.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "decks/deck_publication.hpp"

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
    const DeckPublication p = describeDeck(deck, groups, rt.lastPublished);

    // Hold the new audio before the render can reach it; retire the old only
    // once the new publication is out.
    std::shared_ptr<const PcmBuffer> oldPcm;
    StreamingSourcePtr oldSource;
    if (rt.pcmOwner != deck.pcm) oldPcm = std::exchange(rt.pcmOwner, deck.pcm);
    if (rt.sourceOwner != deck.source) oldSource = std::exchange(rt.sourceOwner, deck.source);

    rt.publication.publish(p);
    rt.lastPublished = p;

    if (oldPcm) domain_.retire(std::move(oldPcm));
    if (oldSource) domain_.retire(std::move(oldSource));
}

void DeckRegistry::pullDeckRuntime(Deck& deck) const {
    if (deck.runtime) pullRenderedState(deck, *deck.runtime);
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
