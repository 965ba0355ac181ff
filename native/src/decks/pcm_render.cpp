#include <algorithm>
#include <cmath>
#include <limits>

#include "decks/deck_render.hpp"
#include "decks/stereo_kernel.hpp"
#include "decks/cpu_features.hpp"
#include "decoding/sample_rate.hpp"

namespace velmora {
namespace {

constexpr std::uint32_t kRenderBlock = 256;

// Exact per-frame gains of one block, for blocks the stereo kernels do not
// take (declick ramp, a fade starting or ending, clamped frames, other
// channel counts).
struct GainBlock {
    double gain[kRenderBlock];      // trackGain x volume x declick
    double trackMul[kRenderBlock];  // trackGain x track factor
};

void fillGains(FadeState& fade, std::uint32_t& declickRemaining, std::uint32_t declickTotal, double trackGain,
               std::uint64_t clock, std::uint32_t n, GainBlock& g) noexcept {
    std::uint32_t i = 0;
    if (fade.active && fade.durationFrames != 0) {
        // Frames [0, inFade) are inside the fade; frame inFade ends it.
        const std::uint64_t endAt = fade.startFrame + fade.durationFrames;
        const std::uint32_t inFade =
            endAt > clock ? static_cast<std::uint32_t>(std::min<std::uint64_t>(endAt - clock, n)) : 0;
        const double elapsed0 = clock >= fade.startFrame ? static_cast<double>(clock - fade.startFrame)
                                                         : -static_cast<double>(fade.startFrame - clock);
        const double invDuration = 1.0 / static_cast<double>(fade.durationFrames);
        const double invNorm = 1.0 / fadeNorm(fade);
        // Copies: the gain stores below could alias the fade's fields.
        const double from = fade.from, target = fade.target;
        auto volumeAt = [&](std::uint32_t k) {
            return easeOutCubic(from, target, std::max(elapsed0 + static_cast<double>(k), 0.0) * invDuration);
        };
        for (; i < inFade; ++i) {
            const double volume = volumeAt(i);
            g.gain[i] = trackGain * volume;
            g.trackMul[i] = trackGain * std::clamp(volume * invNorm, 0.0, 5.0);
        }
        if (inFade > 0) fade.volume = volumeAt(inFade - 1);
        if (i < n) {
            bool endedNow = false;
            const double volume = advanceFade(fade, clock + i, endedNow);
            g.gain[i] = trackGain * volume;
            g.trackMul[i] = trackGain * trackFactor(fade, volume, endedNow);
            ++i;
        }
    }
    if (i < n) {
        const double volume = fade.volume;
        const double gain = trackGain * volume;
        const double trackMul = trackGain * trackFactor(fade, volume, false);
        for (std::uint32_t k = i; k < n; ++k) {
            g.gain[k] = gain;
            g.trackMul[k] = trackMul;
        }
    }
    if (declickTotal != 0) {
        const std::uint32_t ramp = std::min(declickRemaining, n);
        for (std::uint32_t k = 0; k < ramp; ++k) g.gain[k] *= declickStep(declickRemaining, declickTotal);
    }
}

// Stereo interpolation of frames [first, first + n) of the buffer, whose
// positions pos0 + i x step all lie in [0, totalFrames - 1): both neighbours
// exist, so no clamping. Writes the frame values to `lr` (interleaved) and
// feeds the meters.
void interpolateStereo(const float* samples, double pos0, double step, std::uint32_t first, std::uint32_t n,
                       const GainBlock& g, float* lr, MeterAccumulator& m) noexcept {
    for (std::uint32_t k = 0; k < n; ++k) {
        const double p = pos0 + static_cast<double>(first + k) * step;
        const auto i0 = static_cast<std::uint64_t>(p);
        const double frac = p - static_cast<double>(i0);
        const float* s = samples + i0 * 2;
        const double l0 = s[0], r0 = s[1], l1 = s[2], r1 = s[3];
        const float left = static_cast<float>(l0 + (l1 - l0) * frac);
        const float right = static_cast<float>(r0 + (r1 - r0) * frac);
        m.add(left * g.gain[k], right * g.gain[k], left * g.trackMul[k], right * g.trackMul[k]);
        lr[2 * k] = left;
        lr[2 * k + 1] = right;
    }
}

// One frame through sampleAt, for frames outside the kernels' range.
void interpolateClamped(const float* samples, std::uint64_t totalFrames, int channels, double pos0,
                        double step, std::uint32_t first, std::uint32_t n, const GainBlock& g, float* lr,
                        MeterAccumulator& m) noexcept {
    for (std::uint32_t k = 0; k < n; ++k) {
        const double p = pos0 + static_cast<double>(first + k) * step;
        const float left = sampleAt(samples, totalFrames, channels, p, 0);
        const float right = channels != 1 ? sampleAt(samples, totalFrames, channels, p, 1) : left;
        m.add(left * g.gain[k], right * g.gain[k], left * g.trackMul[k], right * g.trackMul[k]);
        lr[2 * k] = left;
        lr[2 * k + 1] = right;
    }
}

// Smallest i in [0, limit] with pos0 + i x step >= bound (limit when none).
std::uint32_t framesBelow(double pos0, double step, double bound, std::uint32_t limit) noexcept {
    if (!(pos0 < bound)) return 0;
    // Positions never decrease with i: the usual buffer, wholly below, needs
    // no division.
    if (limit > 0 && pos0 + static_cast<double>(limit - 1) * step < bound) return limit;
    const double estimate = std::ceil((bound - pos0) / step);
    std::uint32_t i = estimate >= limit ? limit : static_cast<std::uint32_t>(std::max(estimate, 0.0));
    while (i > 0 && pos0 + static_cast<double>(i - 1) * step >= bound) --i;
    while (i < limit && pos0 + static_cast<double>(i) * step < bound) ++i;
    return i;
}

// How the meters follow a kernel block's levels.
struct KernelGains {
    bool fade = false;
    double gain = 1.0;        // constant: trackGain x volume
    double trackMul = 1.0;    // constant: trackGain x track factor
    double trackScale = 1.0;  // fade: track meter over deck meter
};

// Sets up a block for the stereo kernels when its gains allow: no declick
// ramp, and a constant gain or a fade running through all n frames with end
// points >= 0. Then advances the fade as fillGains would and returns true.
bool planKernelGains(FadeState& fade, std::uint32_t declickRemaining, std::uint32_t declickTotal,
                     double trackGain, std::uint64_t clock, std::uint32_t n, StereoBlock& b,
                     KernelGains& k) noexcept {
    if (declickTotal != 0 && declickRemaining != 0) return false;
    if (!fade.active || fade.durationFrames == 0) {
        const double volume = fade.volume;
        k.fade = false;
        k.gain = trackGain * volume;
        k.trackMul = trackGain * trackFactor(fade, volume, false);
        b.fade = false;
        b.gain = static_cast<float>(k.gain);
        return true;
    }
    if (clock < fade.startFrame || !(fade.from >= 0.0 && fade.target >= 0.0)) return false;
    const std::uint64_t elapsed = clock - fade.startFrame;
    if (elapsed >= fade.durationFrames) return false;
    const std::uint64_t left = fade.durationFrames - elapsed;
    // Float counts frames exactly up to 2^24.
    if (left < n || left > (1U << 24)) return false;
    k.fade = true;
    k.trackScale = 1.0 / fadeNorm(fade);
    b.fade = true;
    b.fadeRemaining = static_cast<float>(left);
    const CubicGain cubic = cubicGainOf(fade, trackGain);
    b.fadeGainEnd = cubic.end;
    b.fadeGainCubic = cubic.cubic;
    // The volume of the block's last frame, as the frame-by-frame gains have it.
    const double invDuration = 1.0 / static_cast<double>(fade.durationFrames);
    fade.volume = easeOutCubic(fade.from, fade.target, static_cast<double>(elapsed + n - 1) * invDuration);
    return true;
}

void addKernelLevels(const StereoLevels& l, const KernelGains& k, std::uint32_t n, MeterAccumulator& m) noexcept {
    const double deck = k.fade ? 1.0 : std::abs(k.gain);
    const double track = k.fade ? k.trackScale : std::abs(k.trackMul);
    m.deckPeakL = std::max(m.deckPeakL, l.peak[0] * deck);
    m.deckPeakR = std::max(m.deckPeakR, l.peak[1] * deck);
    m.deckSumL += l.sum[0] * (deck * deck);
    m.deckSumR += l.sum[1] * (deck * deck);
    m.trackPeakL = std::max(m.trackPeakL, l.peak[0] * track);
    m.trackPeakR = std::max(m.trackPeakR, l.peak[1] * track);
    m.trackSumL += l.sum[0] * (track * track);
    m.trackSumR += l.sum[1] * (track * track);
    m.frames += n;
}

}  // namespace

void renderFromPcm(const RenderContext& ctx, DeckRuntime& rt, const DeckPublication& p,
                   const PcmBuffer& pcm, std::uint32_t frameCount, float* out, int outChannels,
                   std::uint64_t frameClockAtStart) noexcept {
    const int channels = pcm.channels;
    const double sampleRate = pcm.sampleRate;
    const float* samples = pcm.samples.data();
    // A 64-bit division costs more than the rest of the set-up: not for stereo.
    const std::uint64_t totalFrames =
        channels == 2 ? pcm.samples.size() / 2 : pcm.samples.size() / static_cast<std::uint64_t>(channels);
    const double total = static_cast<double>(totalFrames);
    double endFrame = total;
    if (p.cueOutSeconds > 0.0) endFrame = std::min(sampleRate * p.cueOutSeconds, total);
    const double step = sampleRate / static_cast<double>(std::max(ctx.streamSampleRate, kMinSampleRate));

    // Frame i sits at pos0 + i x step (the same to the sample as adding step
    // frame by frame); every frame before `rendered` is before the end.
    const double pos0 = rt.position.frames.load(std::memory_order_relaxed);
    const std::uint32_t rendered = framesBelow(pos0, step, std::min(endFrame, total), frameCount);
    const bool startsInside = pos0 >= 0.0;
    // Frames whose right neighbour exists take the unclamped kernels.
    const std::uint32_t unclamped = startsInside ? framesBelow(pos0, step, total - 1.0, rendered) : 0;
    // Sample offsets of the kernels fit in 31 bits.
    const bool stereoTrack = channels == 2 && pcm.samples.size() < (1ULL << 31);
    const bool wide = vectorRenderActive();
    const int maxIndex = std::max(outChannels - 1, 0);
    const bool pairAtZero = outChannels == 2 && std::max(p.channelCount, 1) != 1 &&
                            std::clamp(p.channelOffset, 0, maxIndex) == 0;

    FadeState fade = loadFade(rt, p);
    std::uint32_t declickRemaining = rt.declick.remaining.load(std::memory_order_relaxed);
    MeterAccumulator meters;
    float lr[2 * kRenderBlock];
    float lrGain[2 * kRenderBlock];
#if VELMORA_X86
    // Each buffer reads fresh track memory; start fetching it while the gains
    // are computed.
    if (unclamped > 0) {
        const char* from = reinterpret_cast<const char*>(samples + static_cast<std::uint64_t>(pos0) * channels);
        const char* to = reinterpret_cast<const char*>(
            samples + (static_cast<std::uint64_t>(pos0 + static_cast<double>(unclamped - 1) * step) + 2) * channels);
        for (const char* line = from; line < to; line += 64) _mm_prefetch(line, _MM_HINT_T0);
    }
#endif

    for (std::uint32_t first = 0; first < rendered; first += kRenderBlock) {
        const std::uint32_t n = std::min(kRenderBlock, rendered - first);
        const std::uint64_t clock = frameClockAtStart + first;
        float* block = out + static_cast<std::size_t>(first) * outChannels;
        const std::uint32_t fast = stereoTrack ? std::min(n, unclamped > first ? unclamped - first : 0) : 0;
        StereoBlock b;
        KernelGains kernelGains;
        if (fast == n && planKernelGains(fade, declickRemaining, p.declickTotal, p.trackGain, clock, n, b,
                                         kernelGains)) {
            b.samples = samples;
            b.pos0 = pos0;
            b.step = step;
            b.first = first;
            b.frames = n;
            b.pairOut = pairAtZero ? block : nullptr;
            b.lr = lr;
            b.lrGain = lrGain;
            StereoLevels levels;
            renderStereoBlock(b, levels, wide);
            addKernelLevels(levels, kernelGains, n, meters);
            if (!pairAtZero)
                for (std::uint32_t k = 0; k < n; ++k)
                    addToOutput(p, k, block, outChannels, lr[2 * k], lr[2 * k + 1], b.fade ? lrGain[2 * k] : b.gain);
            continue;
        }

        GainBlock gains;
        fillGains(fade, declickRemaining, p.declickTotal, p.trackGain, clock, n, gains);
        if (fast > 0) interpolateStereo(samples, pos0, step, first, fast, gains, lr, meters);
        if (fast < n) {
            GainBlock rest;
            for (std::uint32_t k = fast; k < n; ++k) {
                rest.gain[k - fast] = gains.gain[k];
                rest.trackMul[k - fast] = gains.trackMul[k];
            }
            interpolateClamped(samples, totalFrames, channels, pos0, step, first + fast, n - fast, rest,
                               lr + 2 * fast, meters);
        }
        for (std::uint32_t k = 0; k < n; ++k)
            addToOutput(p, k, block, outChannels, lr[2 * k], lr[2 * k + 1], static_cast<float>(gains.gain[k]));
    }

    storeGainState(rt, fade, declickRemaining);
    const double pos = pos0 + static_cast<double>(rendered) * step;
    if (rendered < frameCount) {
        endOfTrack(rt, p, pos);
        return;
    }
    rt.position.frames.store(pos, std::memory_order_relaxed);
    rt.position.seconds.store(std::max(0.0, std::min(p.durationSeconds, pos / sampleRate)),
                             std::memory_order_relaxed);
    publishDeckMeters(rt, meters);
}

}  // namespace velmora
