#pragma once
// The mix render: every playing deck adds its frames into an interleaved
// float buffer, then the master limiter runs over the sum.

#include <atomic>
#include <cstdint>

#include "decks/deck.hpp"

namespace velmora {

inline constexpr std::uint32_t kMaxRenderFrames = 4096;
inline constexpr int kMaxRenderChannels = 64;

struct RenderContext {
    std::int32_t streamSampleRate = 48000;
    bool limiterEnabled = true;
    double limiterCeiling = 0.98;
    std::atomic<std::uint64_t>* callbackDropCount = nullptr;
    std::atomic<std::uint64_t>* limiterEngagedCount = nullptr;
};

// Audio thread. Lock-free, allocation-free: reads the deck's publication and
// writes only its render-owned atomics. Adds one deck into `out`.
void renderDeck(const RenderContext& context, DeckRuntime& runtime, std::uint32_t frameCount,
                float* out, int outChannels, std::uint64_t frameClockAtStart) noexcept;

// Audio thread. Clears `frameCount` x `channels` samples of `out`, renders
// every deck of `list` (null entries skipped) and applies the limiter.
// The caller keeps `list` alive (reclaim domain pass) and advances its clock.
void renderMix(const RenderContext& context, const MixList* list, std::uint32_t frameCount,
               float* out, int channels, std::uint64_t frameClockAtStart) noexcept;

// The render picks AVX2 kernels at run time where the CPU has them; tests and
// benches turn them off to check or time the portable path.
void setVectorRender(bool enabled) noexcept;
bool vectorRenderActive() noexcept;

// One linearly interpolated sample; 0 for an empty buffer.
float sampleAt(const float* samples, std::uint64_t totalFrames, int channels, double position,
               int channel) noexcept;

}  // namespace velmora
