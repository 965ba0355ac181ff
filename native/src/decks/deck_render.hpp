#pragma once
// The two renderers of one deck, from decoded PCM and from a streaming ring,
// and what they share: the gains taken from the runtime at the start of a
// buffer and stored back at its end, the channel routing and the end of the
// track. Audio thread only; lock-free, allocation-free.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "decks/gain_ramp.hpp"
#include "decks/meters.hpp"
#include "decks/mix_render.hpp"

namespace velmora {

void renderFromPcm(const RenderContext& ctx, DeckRuntime& rt, const DeckPublication& p, const PcmBuffer& pcm,
                   std::uint32_t frameCount, float* out, int outChannels, std::uint64_t frameClockAtStart) noexcept;

void renderFromStream(const RenderContext& ctx, DeckRuntime& rt, const DeckPublication& p, StreamingSource& source,
                      std::uint32_t frameCount, float* out, int outChannels,
                      std::uint64_t frameClockAtStart) noexcept;

inline FadeState loadFade(const DeckRuntime& rt, const DeckPublication& p) noexcept {
    return FadeState{{rt.volume.fadeActive.load(std::memory_order_relaxed), p.fadeFrom, p.fadeTarget,
                      p.fadeStartFrame, rt.volume.fadeDurationFrames.load(std::memory_order_relaxed)},
                     rt.volume.deckVolume.load(std::memory_order_relaxed)};
}

inline void storeGainState(DeckRuntime& rt, const FadeState& fade, std::uint32_t declickRemaining) noexcept {
    rt.volume.store({fade.volume, fade.active, fade.durationFrames});
    rt.declick.store({declickRemaining});
}

// Channels of the routing beyond the rendered ones (a device with fewer
// outputs than the decks ask for) are not rendered.
inline void addToOutput(const DeckPublication& p, std::uint32_t frameIndex, float* out, int outChannels,
                        float left, float right, float gain) noexcept {
    const int c = std::max(p.channelOffset, 0);
    if (c >= outChannels) return;
    float* frame = out + static_cast<std::size_t>(frameIndex) * outChannels;
    if (std::max(p.channelCount, 1) != 1) {
        frame[c] += left * gain;
        if (c + 1 < outChannels) frame[c + 1] += right * gain;
    } else {
        frame[c] += (left + right) * 0.5f * gain;
    }
}

// Stops the deck at its end (or cue-out), with the playhead there.
inline void endOfTrack(DeckRuntime& rt, const DeckPublication& p, double positionFrames) noexcept {
    rt.transport.store({false, false});
    const double endSeconds = p.cueOutSeconds > 0.0 ? std::max(0.0, std::min(p.durationSeconds, p.cueOutSeconds))
                                                    : p.durationSeconds;
    rt.position.seconds.store(endSeconds, std::memory_order_relaxed);
    rt.position.frames.store(positionFrames, std::memory_order_relaxed);
    publishZeroMeters(rt);
}

}  // namespace velmora
