#include "decks/deck_publication.hpp"

#include <algorithm>
#include <bit>

namespace velmora {
namespace {

// The render-owned groups, each described once: its bit, where the
// publication carries it, where the render keeps it and where the record
// holds it.
struct Transport {
    static constexpr PublishGroup kGroup = kPublishTransport;
    static auto& published(auto& p) { return p.transport; }
    static auto& rendered(auto& rt) { return rt.transport; }
    static TransportGroup record(const Deck& d) { return {d.state.playing, d.state.paused}; }
    static void toRecord(Deck& d, const TransportGroup& v) {
        d.state.playing = v.playing;
        d.state.paused = v.paused;
    }
};
struct Position {
    static constexpr PublishGroup kGroup = kPublishPosition;
    static auto& published(auto& p) { return p.position; }
    static auto& rendered(auto& rt) { return rt.position; }
    static PositionGroup record(const Deck& d) { return {d.positionFrames, d.state.positionSeconds}; }
    static void toRecord(Deck& d, const PositionGroup& v) {
        d.positionFrames = v.frames;
        d.state.positionSeconds = v.seconds;
    }
};
struct Declick {
    static constexpr PublishGroup kGroup = kPublishDeclick;
    static auto& published(auto& p) { return p.declick; }
    static auto& rendered(auto& rt) { return rt.declick; }
    static DeclickGroup record(const Deck& d) { return {d.declick.remaining}; }
    static void toRecord(Deck& d, const DeclickGroup& v) { d.declick.remaining = v.remaining; }
};
struct Volume {
    static constexpr PublishGroup kGroup = kPublishVolume;
    static auto& published(auto& p) { return p.volume; }
    static auto& rendered(auto& rt) { return rt.volume; }
    static VolumeGroup record(const Deck& d) {
        return {d.state.deckVolume, d.fade.active, d.fade.durationFrames};
    }
    static void toRecord(Deck& d, const VolumeGroup& v) {
        d.state.deckVolume = v.deckVolume;
        d.fade.active = v.fadeActive;
        d.fade.durationFrames = v.fadeDurationFrames;
    }
};

template <class Visit>
inline void forEachGroup(Visit&& visit) {
    visit(Transport{});
    visit(Position{});
    visit(Declick{});
    visit(Volume{});
}

template <class Group>
constexpr int indexOf(Group) {
    return std::countr_zero(static_cast<unsigned>(Group::kGroup));
}

}  // namespace

DeckPublication describeDeck(const Deck& deck, unsigned groups, const DeckPublication& previous) {
    const DeckState& s = deck.state;
    DeckPublication p = previous;
    p.pcm = deck.pcm.get();
    p.source = deck.source.get();
    p.loaded = s.loaded;
    p.durationSeconds = s.durationSeconds;
    p.trackGain = s.trackGain;
    p.cueInSeconds = s.track ? s.track->cueIn : 0.0;
    p.cueOutSeconds = s.track ? s.track->cueOut : 0.0;
    p.channelOffset = std::max(s.output.channelOffset, 0);
    p.channelCount = std::max(s.output.channelCount, 1);
    p.fadeFrom = deck.fade.from;
    p.fadeTarget = deck.fade.target;
    p.fadeStartFrame = deck.fade.startFrame;
    p.declickTotal = deck.declick.total;
    forEachGroup([&](auto group) {
        group.published(p) = group.record(deck);
        if ((groups & group.kGroup) != 0) ++p.generation[indexOf(group)];
    });
    return p;
}

void adoptPublication(DeckRuntime& rt, const DeckPublication& p) noexcept {
    forEachGroup([&](auto group) {
        const int g = indexOf(group);
        if (p.generation[g] == rt.appliedGeneration[g].load(std::memory_order_relaxed)) return;
        group.rendered(rt).store(group.published(p));
        rt.appliedGeneration[g].store(p.generation[g], std::memory_order_release);
    });
}

void pullRenderedState(Deck& deck, const DeckRuntime& rt) {
    const DeckPublication& p = rt.lastPublished;
    forEachGroup([&](auto group) {
        const int g = indexOf(group);
        const bool adopted = rt.appliedGeneration[g].load(std::memory_order_acquire) == p.generation[g];
        group.toRecord(deck, adopted ? group.rendered(rt).load(std::memory_order_seq_cst) : group.published(p));
    });
    deck.state.meter = rt.meter.load(std::memory_order_seq_cst);
    deck.state.trackMeter = rt.trackMeter.load(std::memory_order_seq_cst);
}

}  // namespace velmora
