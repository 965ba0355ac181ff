#pragma once
// Per-deck level meters: accumulated per frame on the audio thread and
// published once per buffer.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "decks/deck_runtime.hpp"

namespace velmora {

struct MeterAccumulator {
    double deckPeakL = 0.0, deckPeakR = 0.0, deckSumL = 0.0, deckSumR = 0.0;
    double trackPeakL = 0.0, trackPeakR = 0.0, trackSumL = 0.0, trackSumR = 0.0;
    std::uint64_t frames = 0;

    // Audio thread. Arithmetic only.
    void add(double dL, double dR, double tL, double tR) noexcept {
        deckPeakL = std::max(deckPeakL, std::abs(dL));
        deckPeakR = std::max(deckPeakR, std::abs(dR));
        deckSumL += dL * dL;
        deckSumR += dR * dR;
        trackPeakL = std::max(trackPeakL, std::abs(tL));
        trackPeakR = std::max(trackPeakR, std::abs(tR));
        trackSumL += tL * tL;
        trackSumR += tR * tR;
        ++frames;
    }
};

// Audio thread. Lock-free: eight atomic stores. Values describe this buffer
// alone, each clamped to [0, 2].
inline void publishDeckMeters(DeckRuntime& rt, const MeterAccumulator& m) noexcept {
    auto rms = [&](double sum) { return m.frames > 0 ? std::sqrt(sum / static_cast<double>(m.frames)) : 0.0; };
    auto clamp = [](double v) { return std::clamp(v, 0.0, 2.0); };
    rt.meter.store({clamp(m.deckPeakL), clamp(m.deckPeakR), clamp(rms(m.deckSumL)), clamp(rms(m.deckSumR))});
    rt.trackMeter.store({clamp(m.trackPeakL), clamp(m.trackPeakR), clamp(rms(m.trackSumL)), clamp(rms(m.trackSumR))});
}

inline void publishZeroMeters(DeckRuntime& rt) noexcept { publishDeckMeters(rt, MeterAccumulator{}); }

}  // namespace velmora
