#pragma once
// The registry of decks by id, publication of deck records to their
// runtimes, and the mix list the audio thread renders from. Every member runs
// on the control side with the engine lock held, except loadMixList().

#include <cstdint>
#include <string>
#include <unordered_map>

#include "decks/deck.hpp"
#include "realtime/reclaim_domain.hpp"

namespace velmora {

class DeckRegistry {
public:
    explicit DeckRegistry(ReclaimDomain& domain) : domain_(domain) {}
    DeckRegistry(const DeckRegistry&) = delete;
    DeckRegistry& operator=(const DeckRegistry&) = delete;

    Deck* findDeck(const std::string& deckId);
    // Creates a missing deck with its defaults and publishes it; does not
    // rebuild the mix list.
    Deck& findOrCreateDeck(const std::string& deckId, const std::string& backend,
                           const std::string& activeDeviceId);
    // Drops the deck's record; its runtime lives on while a mix list or a
    // render pass holds it. The caller closes its streaming source first.
    bool removeDeck(const std::string& deckId);
    void clear();

    // Copies the record into its runtime; `groups` names the render-owned
    // fields the render must take over (see PublishGroup).
    void publishDeck(Deck& deck, unsigned groups);
    // Copies the render's latest state back into the record.
    void pullDeckRuntime(Deck& deck) const;
    void pullAll();

    // Publishes a new mix list with every deck; returns its channel count.
    std::int32_t rebuildMixList(std::int32_t requiredChannels);
    // max over decks of offset + max(count, 1), at least 2. Saturates
    // instead of overflowing.
    std::int32_t computeRequiredChannels() const;

    // Audio thread. Lock-free: one acquire load.
    const MixList* loadMixList() const noexcept { return mixList_.load(); }

    std::unordered_map<std::string, Deck>& decks() { return decks_; }
    const std::unordered_map<std::string, Deck>& decks() const { return decks_; }
    ReclaimDomain& domain() { return domain_; }

private:
    void ensureRuntime(Deck& deck);

    ReclaimDomain& domain_;
    std::unordered_map<std::string, Deck> decks_;
    RtSlot<const MixList> mixList_;
};

DeckState defaultDeckState(const std::string& deckId, const std::string& backend);

}  // namespace velmora
