#include "decks/mix_render.hpp"

#include <algorithm>
#include <cstring>

#include "decks/deck_publication.hpp"
#include "decks/deck_render.hpp"
#include "decks/limiter.hpp"
#include "decks/cpu_features.hpp"

namespace velmora {
namespace {

std::atomic<bool> gVectorAllowed{true};

}  // namespace

void setVectorRender(bool enabled) noexcept { gVectorAllowed.store(enabled, std::memory_order_relaxed); }

bool vectorRenderActive() noexcept { return kCpuHasAvx2 && gVectorAllowed.load(std::memory_order_relaxed); }

float sampleAt(const float* samples, std::uint64_t totalFrames, int channels, double position,
               int channel) noexcept {
    if (channels <= 0 || samples == nullptr || totalFrames == 0) return 0.0f;
    const double p = std::max(0.0, std::min(position, static_cast<double>(totalFrames - 1)));
    const auto i0 = static_cast<std::uint64_t>(p);
    const double frac = p - static_cast<double>(i0);
    const int c = std::clamp(channel, 0, channels - 1);
    const double s0 = samples[i0 * channels + c];
    const double s1 = samples[std::min(totalFrames - 1, i0 + 1) * channels + c];
    return static_cast<float>(s0 + (s1 - s0) * frac);
}

void renderDeck(const RenderContext& ctx, DeckRuntime& rt, std::uint32_t frameCount, float* out,
                int outChannels, std::uint64_t frameClockAtStart) noexcept {
    const auto reading = rt.publication.read();
    const DeckPublication& p = reading.value();
    adoptPublication(rt, p);

    if (!rt.transport.playing.load(std::memory_order_relaxed)) {
        publishZeroMeters(rt);
        return;
    }
    if (p.source != nullptr) {
        // Streaming decks are rendered from their ring.
        renderFromStream(ctx, rt, p, *p.source, frameCount, out, outChannels, frameClockAtStart);
        return;
    }
    if (p.pcm != nullptr && p.pcm->channels >= 1 && p.pcm->sampleRate >= 1) {
        renderFromPcm(ctx, rt, p, *p.pcm, frameCount, out, outChannels, frameClockAtStart);
        return;
    }
    publishZeroMeters(rt);
}

void renderMix(const RenderContext& ctx, const MixList* list, std::uint32_t frameCount, float* out,
               int channels, std::uint64_t frameClockAtStart) noexcept {
    const std::size_t sampleCount = static_cast<std::size_t>(frameCount) * channels;
    std::memset(out, 0, sampleCount * sizeof(float));
    if (list != nullptr) {
        for (const DeckRuntimePtr& deck : list->decks)
            if (deck) renderDeck(ctx, *deck, frameCount, out, channels, frameClockAtStart);
    }
    if (applyMasterLimiter(out, sampleCount, ctx.limiterEnabled, ctx.limiterCeiling) &&
        ctx.limiterEngagedCount != nullptr)
        ctx.limiterEngagedCount->fetch_add(1, std::memory_order_relaxed);
}

}  // namespace velmora
