#include "decks/mix_render.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "decks/limiter.hpp"
#include "decks/meters.hpp"

namespace velmora {
namespace {

constexpr double kSilentTarget = 1e-6;

struct FadeState {
    bool active = false;
    double from = 1.0;
    double target = 1.0;
    std::uint64_t startFrame = 0;
    std::uint64_t durationFrames = 0;
    double volume = 1.0;
};

// Ease-out cubic; returns the volume of `absoluteFrame`.
inline double advanceFade(FadeState& fade, std::uint64_t absoluteFrame, bool& endedNow) noexcept {
    endedNow = false;
    if (!fade.active || fade.durationFrames == 0) return fade.volume;
    const std::uint64_t elapsed = absoluteFrame > fade.startFrame ? absoluteFrame - fade.startFrame : 0;
    if (elapsed < fade.durationFrames) {
        const double t = static_cast<double>(elapsed) / static_cast<double>(fade.durationFrames);
        const double u = 1.0 - t;
        fade.volume = fade.from + (1.0 - u * u * u) * (fade.target - fade.from);
        return fade.volume;
    }
    fade.active = false;
    fade.volume = fade.target;
    fade.durationFrames = 0;
    endedNow = true;
    return fade.target;
}

// How much of the fade the track meter follows: the fade's shape while it
// runs, normalised to its larger end point; nothing after a fade to silence.
inline double trackFactor(const FadeState& fade, double volume, bool endedNow) noexcept {
    const bool toSilence = fade.target <= kSilentTarget;
    if (fade.active || (endedNow && toSilence)) {
        const double norm = std::max({std::abs(fade.from), std::abs(fade.target), kSilentTarget});
        return std::clamp(volume / norm, 0.0, 5.0);
    }
    if (fade.durationFrames != 0 && toSilence) return 0.0;
    return 1.0;
}

inline void addToOutput(const DeckPublication& p, std::uint32_t frameIndex, float* out,
                        int outChannels, float left, float right, float gain) noexcept {
    const int maxIndex = std::max(outChannels - 1, 0);
    const int c = std::clamp(p.channelOffset, 0, maxIndex);
    float* frame = out + static_cast<std::size_t>(frameIndex) * outChannels;
    if (std::max(p.channelCount, 1) != 1) {
        frame[c] += left * gain;
        frame[std::min(c + 1, outChannels - 1)] += right * gain;
    } else {
        frame[c] += (left + right) * 0.5f * gain;
    }
}

// Takes over the groups of fields the control side published since the last
// buffer.
void adoptPublication(DeckRuntime& rt, const DeckPublication& p) noexcept {
    auto pending = [&](PublishGroup group, int index) {
        (void)group;
        return p.generation[index] != rt.appliedGeneration[index].load(std::memory_order_relaxed);
    };
    auto applied = [&](int index) {
        rt.appliedGeneration[index].store(p.generation[index], std::memory_order_release);
    };
    if (pending(kPublishTransport, 0)) {
        rt.playing.store(p.playing, std::memory_order_relaxed);
        rt.paused.store(p.paused, std::memory_order_relaxed);
        applied(0);
    }
    if (pending(kPublishPosition, 1)) {
        rt.positionFrames.store(p.positionFrames, std::memory_order_relaxed);
        rt.positionSeconds.store(p.positionSeconds, std::memory_order_relaxed);
        applied(1);
    }
    if (pending(kPublishDeclick, 2)) {
        rt.declickRemaining.store(p.declickRemaining, std::memory_order_relaxed);
        applied(2);
    }
    if (pending(kPublishVolume, 3)) {
        rt.deckVolume.store(p.deckVolume, std::memory_order_relaxed);
        rt.fadeActive.store(p.fadeActive, std::memory_order_relaxed);
        rt.fadeDurationFrames.store(p.fadeDurationFrames, std::memory_order_relaxed);
        applied(3);
    }
}

void endOfTrack(DeckRuntime& rt, const DeckPublication& p, double positionFrames) noexcept {
    rt.playing.store(false, std::memory_order_relaxed);
    rt.paused.store(false, std::memory_order_relaxed);
    const double endSeconds = p.cueOutSeconds > 0.0
                                  ? std::max(0.0, std::min(p.durationSeconds, p.cueOutSeconds))
                                  : p.durationSeconds;
    rt.positionSeconds.store(endSeconds, std::memory_order_relaxed);
    rt.positionFrames.store(positionFrames, std::memory_order_relaxed);
    publishZeroMeters(rt);
}

void renderFromPcm(const RenderContext& ctx, DeckRuntime& rt, const DeckPublication& p,
                   const PcmBuffer& pcm, std::uint32_t frameCount, float* out, int outChannels,
                   std::uint64_t frameClockAtStart) noexcept {
    const int channels = pcm.channels;
    const double sampleRate = pcm.sampleRate;
    const float* samples = pcm.samples.data();
    const std::uint64_t totalFrames = pcm.samples.size() / static_cast<std::uint64_t>(channels);
    const double total = static_cast<double>(totalFrames);
    double endFrame = total;
    if (p.cueOutSeconds > 0.0) endFrame = std::min(sampleRate * p.cueOutSeconds, total);
    const double step = sampleRate / static_cast<double>(std::max(ctx.streamSampleRate, 8000));

    double pos = rt.positionFrames.load(std::memory_order_relaxed);
    FadeState fade{rt.fadeActive.load(std::memory_order_relaxed), p.fadeFrom, p.fadeTarget, p.fadeStartFrame,
                   rt.fadeDurationFrames.load(std::memory_order_relaxed),
                   rt.deckVolume.load(std::memory_order_relaxed)};
    std::uint32_t declickRemaining = rt.declickRemaining.load(std::memory_order_relaxed);
    const std::uint32_t declickTotal = p.declickTotal;
    const double trackGain = p.trackGain;
    MeterAccumulator meters;

    auto storeState = [&] {
        rt.deckVolume.store(fade.volume, std::memory_order_relaxed);
        rt.fadeActive.store(fade.active, std::memory_order_relaxed);
        rt.fadeDurationFrames.store(fade.durationFrames, std::memory_order_relaxed);
        rt.declickRemaining.store(declickRemaining, std::memory_order_relaxed);
    };

    for (std::uint32_t i = 0; i < frameCount; ++i) {
        if (pos >= endFrame || pos >= total) {
            storeState();
            endOfTrack(rt, p, pos);
            return;
        }
        bool fadeEnded = false;
        const double volume = advanceFade(fade, frameClockAtStart + i, fadeEnded);
        double gain = trackGain * volume;
        if (declickRemaining != 0 && declickTotal != 0) {
            gain *= std::clamp(1.0 - static_cast<double>(declickRemaining) / declickTotal, 0.0, 1.0);
            --declickRemaining;
        }
        const float left = sampleAt(samples, totalFrames, channels, pos, 0);
        const float right = channels != 1 ? sampleAt(samples, totalFrames, channels, pos, 1) : left;
        const double tf = trackFactor(fade, volume, fadeEnded);
        meters.add(left * gain, right * gain, left * trackGain * tf, right * trackGain * tf);
        addToOutput(p, i, out, outChannels, left, right, static_cast<float>(gain));
        pos += step;
    }
    storeState();
    rt.positionFrames.store(pos, std::memory_order_relaxed);
    rt.positionSeconds.store(std::max(0.0, std::min(p.durationSeconds, pos / sampleRate)),
                             std::memory_order_relaxed);
    publishDeckMeters(rt, meters);
}

void renderFromStream(const RenderContext& ctx, DeckRuntime& rt, const DeckPublication& p,
                      StreamingSource& source, std::uint32_t frameCount, float* out, int outChannels,
                      std::uint64_t frameClockAtStart) noexcept {
    const std::uint64_t ch = static_cast<std::uint64_t>(std::max(source.channels, 1));
    const std::uint64_t sr = static_cast<std::uint64_t>(std::max(source.sampleRate, 1));
    const std::uint64_t size = source.ringSamples();
    auto countDrop = [&] {
        if (ctx.callbackDropCount != nullptr) ctx.callbackDropCount->fetch_add(1, std::memory_order_relaxed);
    };
    if (size < ch) {
        countDrop();
        publishZeroMeters(rt);
        return;
    }
    // A seek is rewriting the ring: skip this buffer rather than mix old and new.
    if (!source.tryBeginRender()) {
        publishZeroMeters(rt);
        return;
    }
    std::uint64_t endFrame = std::numeric_limits<std::uint64_t>::max();
    if (source.durationSeconds > 0.0) endFrame = static_cast<std::uint64_t>(sr * source.durationSeconds);
    if (p.cueOutSeconds > 0.0) endFrame = std::min(endFrame, static_cast<std::uint64_t>(sr * p.cueOutSeconds));

    std::uint64_t read = source.readIndex.load(std::memory_order_relaxed);
    std::uint64_t playFrame = source.playFrame.load(std::memory_order_relaxed);
    std::uint64_t written = source.writeIndex.load(std::memory_order_acquire);
    const float* ring = source.ring.data();

    FadeState fade{rt.fadeActive.load(std::memory_order_relaxed), p.fadeFrom, p.fadeTarget, p.fadeStartFrame,
                   rt.fadeDurationFrames.load(std::memory_order_relaxed),
                   rt.deckVolume.load(std::memory_order_relaxed)};
    std::uint32_t declickRemaining = rt.declickRemaining.load(std::memory_order_relaxed);
    const std::uint32_t declickTotal = p.declickTotal;
    const double trackGain = p.trackGain;
    MeterAccumulator meters;
    bool ended = false;

    for (std::uint32_t i = 0; i < frameCount; ++i) {
        if (playFrame >= endFrame) {
            ended = true;
            break;
        }
        if (written - read < ch) {
            written = source.writeIndex.load(std::memory_order_acquire);
            if (written - read < ch) {
                // The decoder reached the real end before the declared one.
                if (source.endOfStream.load(std::memory_order_acquire) &&
                    source.writeIndex.load(std::memory_order_acquire) - read < ch) {
                    ended = true;
                } else {
                    countDrop();
                }
                break;
            }
        }
        bool fadeEnded = false;
        const double volume = advanceFade(fade, frameClockAtStart + i, fadeEnded);
        double gain = trackGain * volume;
        if (declickRemaining != 0 && declickTotal != 0) {
            gain *= std::clamp(1.0 - static_cast<double>(declickRemaining) / declickTotal, 0.0, 1.0);
            --declickRemaining;
        }
        const std::uint64_t at = read % size;
        const float left = ring[at];
        const float right = ch > 1 ? ring[(at + 1) % size] : left;
        const double tf = trackFactor(fade, volume, fadeEnded);
        meters.add(left * gain, right * gain, left * trackGain * tf, right * trackGain * tf);
        addToOutput(p, i, out, outChannels, left, right, static_cast<float>(gain));
        read += ch;
        ++playFrame;
    }
    source.readIndex.store(read, std::memory_order_release);
    source.playFrame.store(playFrame, std::memory_order_release);
    source.endRender();

    rt.deckVolume.store(fade.volume, std::memory_order_relaxed);
    rt.fadeActive.store(fade.active, std::memory_order_relaxed);
    rt.fadeDurationFrames.store(fade.durationFrames, std::memory_order_relaxed);
    rt.declickRemaining.store(declickRemaining, std::memory_order_relaxed);
    if (ended) {
        endOfTrack(rt, p, static_cast<double>(playFrame));
        return;
    }
    rt.positionFrames.store(static_cast<double>(playFrame), std::memory_order_relaxed);
    rt.positionSeconds.store(
        std::max(0.0, std::min(p.durationSeconds, static_cast<double>(playFrame) / static_cast<double>(sr))),
        std::memory_order_relaxed);
    publishDeckMeters(rt, meters);
}

}  // namespace

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
    rt.publication.update();
    const DeckPublication& p = rt.publication.front();
    adoptPublication(rt, p);

    if (!rt.playing.load(std::memory_order_relaxed)) {
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
