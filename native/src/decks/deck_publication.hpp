#pragma once
// A deck record's way to its render-side twin and back: the publication the
// control side hands over, what the render adopts of it, and what a pull
// brings back into the record. All three walk one description of the
// render-owned groups.

#include "decks/deck.hpp"

namespace velmora {

// Control side. The publication of `deck`, carrying on from `previous` with
// the generation of each group in `groups` moved on.
DeckPublication describeDeck(const Deck& deck, unsigned groups, const DeckPublication& previous);

// Audio thread. Lock-free: takes over the groups published since the last
// buffer.
void adoptPublication(DeckRuntime& runtime, const DeckPublication& publication) noexcept;

// Control side. Brings the render's latest state back into the record: each
// group the render has adopted from the runtime, the others as last published,
// and the meters.
void pullRenderedState(Deck& deck, const DeckRuntime& runtime);

}  // namespace velmora
