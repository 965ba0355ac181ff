#include "decks/mix_render.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "decks/limiter.hpp"
#include "decks/meters.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define VELMORA_X86 1
#include <immintrin.h>
#else
#define VELMORA_X86 0
#endif

#define VELMORA_ALWAYS_INLINE __attribute__((always_inline))

namespace velmora {
namespace {

constexpr double kSilentTarget = 1e-6;
constexpr std::uint32_t kRenderBlock = 256;

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

// Per-frame gains of one block: the fade (ease-out cubic) and the declick
// ramp, separated from interpolation so the kernels stay branch-free.
struct GainBlock {
    double gain[kRenderBlock];      // trackGain x volume x declick
    double trackMul[kRenderBlock];  // trackGain x track factor
};

VELMORA_ALWAYS_INLINE inline void fillGains(FadeState& fade, std::uint32_t& declickRemaining,
                                            std::uint32_t declickTotal, double trackGain,
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
        const double span = fade.target - fade.from;
        const double from = fade.from;
        const double invNorm =
            1.0 / std::max({std::abs(fade.from), std::abs(fade.target), kSilentTarget});
        auto volumeAt = [&](std::uint32_t k) {
            const double t = std::max(elapsed0 + static_cast<double>(k), 0.0) * invDuration;
            const double u = 1.0 - t;
            return from + (1.0 - u * u * u) * span;
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
        for (std::uint32_t k = 0; k < ramp; ++k) {
            g.gain[k] *= std::clamp(1.0 - static_cast<double>(declickRemaining) / declickTotal, 0.0, 1.0);
            --declickRemaining;
        }
    }
}

// Stereo interpolation of frames [first, first + n) of the buffer, whose
// positions pos0 + i x step all lie in [0, totalFrames - 1): both neighbours
// exist, so no clamping. Writes the frame values to `lr` (interleaved) and
// feeds the meters.
void interpolateStereoPortable(const float* samples, double pos0, double step, std::uint32_t first,
                               std::uint32_t n, const GainBlock& g, float* lr,
                               MeterAccumulator& m) noexcept {
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

#if VELMORA_X86
__attribute__((target("avx2,fma"))) void interpolateStereoAvx2(const float* samples, double pos0, double step,
                                                              std::uint32_t first, std::uint32_t n,
                                                              const GainBlock& g, float* lr,
                                                              MeterAccumulator& m, float* pairOut) noexcept {
    const __m256d vpos0 = _mm256_set1_pd(pos0);
    const __m256d vstep = _mm256_set1_pd(step);
    const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    __m256d idx = _mm256_setr_pd(first, first + 1.0, first + 2.0, first + 3.0);
    const __m256d four = _mm256_set1_pd(4.0);
    // Lanes hold L, R, L, R.
    __m256d deckPeak = _mm256_setzero_pd(), deckSum = _mm256_setzero_pd();
    __m256d trackPeak = _mm256_setzero_pd(), trackSum = _mm256_setzero_pd();
    std::uint32_t k = 0;
    for (; k + 4 <= n; k += 4) {
        // Same operations as the portable path, so positions agree to the bit.
        const __m256d p = _mm256_add_pd(vpos0, _mm256_mul_pd(idx, vstep));
        idx = _mm256_add_pd(idx, four);
        const __m256d whole = _mm256_round_pd(p, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256d frac = _mm256_sub_pd(p, whole);
        const __m128i at = _mm_slli_epi32(_mm256_cvttpd_epi32(whole), 1);
        const __m128 a0 = _mm_loadu_ps(samples + _mm_cvtsi128_si32(at));
        const __m128 a1 = _mm_loadu_ps(samples + _mm_extract_epi32(at, 1));
        const __m128 a2 = _mm_loadu_ps(samples + _mm_extract_epi32(at, 2));
        const __m128 a3 = _mm_loadu_ps(samples + _mm_extract_epi32(at, 3));
        // L0 R0 of two frames, and their right neighbours L1 R1.
        const __m256d s0a = _mm256_cvtps_pd(_mm_castpd_ps(_mm_unpacklo_pd(_mm_castps_pd(a0), _mm_castps_pd(a1))));
        const __m256d s1a = _mm256_cvtps_pd(_mm_castpd_ps(_mm_unpackhi_pd(_mm_castps_pd(a0), _mm_castps_pd(a1))));
        const __m256d s0b = _mm256_cvtps_pd(_mm_castpd_ps(_mm_unpacklo_pd(_mm_castps_pd(a2), _mm_castps_pd(a3))));
        const __m256d s1b = _mm256_cvtps_pd(_mm_castpd_ps(_mm_unpackhi_pd(_mm_castps_pd(a2), _mm_castps_pd(a3))));
        const __m256d fa = _mm256_permute4x64_pd(frac, 0x50);  // f0 f0 f1 f1
        const __m256d fb = _mm256_permute4x64_pd(frac, 0xFA);  // f2 f2 f3 f3
        const __m128 va = _mm256_cvtpd_ps(_mm256_add_pd(s0a, _mm256_mul_pd(_mm256_sub_pd(s1a, s0a), fa)));
        const __m128 vb = _mm256_cvtpd_ps(_mm256_add_pd(s0b, _mm256_mul_pd(_mm256_sub_pd(s1b, s0b), fb)));
        const __m256d gains = _mm256_loadu_pd(g.gain + k);
        if (pairOut != nullptr) {
            // Straight onto channels 0 and 1 of a 2-channel buffer.
            const __m128 gf = _mm256_cvtpd_ps(gains);
            const __m256 g2 = _mm256_set_m128(_mm_unpackhi_ps(gf, gf), _mm_unpacklo_ps(gf, gf));
            const __m256 o = _mm256_loadu_ps(pairOut + 2 * k);
            _mm256_storeu_ps(pairOut + 2 * k, _mm256_add_ps(o, _mm256_mul_ps(_mm256_set_m128(vb, va), g2)));
        } else {
            _mm_storeu_ps(lr + 2 * k, va);
            _mm_storeu_ps(lr + 2 * k + 4, vb);
        }

        const __m256d tracks = _mm256_loadu_pd(g.trackMul + k);
        const __m256d da = _mm256_cvtps_pd(va), db = _mm256_cvtps_pd(vb);
        const __m256d dga = _mm256_mul_pd(da, _mm256_permute4x64_pd(gains, 0x50));
        const __m256d dgb = _mm256_mul_pd(db, _mm256_permute4x64_pd(gains, 0xFA));
        const __m256d dta = _mm256_mul_pd(da, _mm256_permute4x64_pd(tracks, 0x50));
        const __m256d dtb = _mm256_mul_pd(db, _mm256_permute4x64_pd(tracks, 0xFA));
        // max(x, peak) keeps the peak when x is NaN, as std::max does.
        deckPeak = _mm256_max_pd(_mm256_and_pd(dga, absMask), deckPeak);
        deckPeak = _mm256_max_pd(_mm256_and_pd(dgb, absMask), deckPeak);
        trackPeak = _mm256_max_pd(_mm256_and_pd(dta, absMask), trackPeak);
        trackPeak = _mm256_max_pd(_mm256_and_pd(dtb, absMask), trackPeak);
        deckSum = _mm256_fmadd_pd(dga, dga, deckSum);
        deckSum = _mm256_fmadd_pd(dgb, dgb, deckSum);
        trackSum = _mm256_fmadd_pd(dta, dta, trackSum);
        trackSum = _mm256_fmadd_pd(dtb, dtb, trackSum);
    }
    alignas(32) double v[4][4];
    _mm256_store_pd(v[0], deckPeak);
    _mm256_store_pd(v[1], deckSum);
    _mm256_store_pd(v[2], trackPeak);
    _mm256_store_pd(v[3], trackSum);
    m.deckPeakL = std::max({m.deckPeakL, v[0][0], v[0][2]});
    m.deckPeakR = std::max({m.deckPeakR, v[0][1], v[0][3]});
    m.deckSumL += v[1][0] + v[1][2];
    m.deckSumR += v[1][1] + v[1][3];
    m.trackPeakL = std::max({m.trackPeakL, v[2][0], v[2][2]});
    m.trackPeakR = std::max({m.trackPeakR, v[2][1], v[2][3]});
    m.trackSumL += v[3][0] + v[3][2];
    m.trackSumR += v[3][1] + v[3][3];
    m.frames += k;
    if (k < n) {
        GainBlock tail;
        for (std::uint32_t j = k; j < n; ++j) {
            tail.gain[j - k] = g.gain[j];
            tail.trackMul[j - k] = g.trackMul[j];
        }
        interpolateStereoPortable(samples, pos0, step, first + k, n - k, tail, lr + 2 * k, m);
        if (pairOut != nullptr)
            for (std::uint32_t j = k; j < n; ++j) {
                const float gf = static_cast<float>(g.gain[j]);
                pairOut[2 * j] += lr[2 * j] * gf;
                pairOut[2 * j + 1] += lr[2 * j + 1] * gf;
            }
    }
}

__attribute__((target("avx2,fma"))) void fillGainsAvx2(FadeState& fade, std::uint32_t& declickRemaining,
                                                      std::uint32_t declickTotal, double trackGain,
                                                      std::uint64_t clock, std::uint32_t n,
                                                      GainBlock& g) noexcept {
    fillGains(fade, declickRemaining, declickTotal, trackGain, clock, n, g);
}

// Adds a stereo block onto output channels 0 and 1 of a 2-channel buffer.
__attribute__((target("avx2,fma"))) void addPairAvx2(float* out, const float* lr, const double* gain,
                                                    std::uint32_t n) noexcept {
    std::uint32_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m128 gf = _mm256_cvtpd_ps(_mm256_loadu_pd(gain + k));  // g0 g1 g2 g3
        const __m256 g2 = _mm256_set_m128(_mm_unpackhi_ps(gf, gf), _mm_unpacklo_ps(gf, gf));
        const __m256 x = _mm256_loadu_ps(lr + 2 * k);
        const __m256 o = _mm256_loadu_ps(out + 2 * k);
        _mm256_storeu_ps(out + 2 * k, _mm256_add_ps(o, _mm256_mul_ps(x, g2)));
    }
    for (; k < n; ++k) {
        const float gf = static_cast<float>(gain[k]);
        out[2 * k] += lr[2 * k] * gf;
        out[2 * k + 1] += lr[2 * k + 1] * gf;
    }
}

const bool kHasAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}();
#else
constexpr bool kHasAvx2 = false;
#endif

std::atomic<bool> gVectorAllowed{true};

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
    const double estimate = std::ceil((bound - pos0) / step);
    std::uint32_t i = estimate >= limit ? limit : static_cast<std::uint32_t>(std::max(estimate, 0.0));
    while (i > 0 && pos0 + static_cast<double>(i - 1) * step >= bound) --i;
    while (i < limit && pos0 + static_cast<double>(i) * step < bound) ++i;
    return i;
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

    // Frame i sits at pos0 + i x step (the same to the sample as adding step
    // frame by frame); every frame before `rendered` is before the end.
    const double pos0 = rt.positionFrames.load(std::memory_order_relaxed);
    const std::uint32_t rendered = framesBelow(pos0, step, std::min(endFrame, total), frameCount);
    const bool startsInside = pos0 >= 0.0;
    // Frames whose right neighbour exists take the unclamped kernels.
    const std::uint32_t unclamped = startsInside ? framesBelow(pos0, step, total - 1.0, rendered) : 0;
    const bool stereoKernel = channels == 2 && pcm.samples.size() < (1ULL << 31);
    const bool avx2 = kHasAvx2 && gVectorAllowed.load(std::memory_order_relaxed);
    const bool vector = stereoKernel && avx2;
    const int maxIndex = std::max(outChannels - 1, 0);
    const bool pairAtZero = outChannels == 2 && std::max(p.channelCount, 1) != 1 &&
                            std::clamp(p.channelOffset, 0, maxIndex) == 0;

    FadeState fade{rt.fadeActive.load(std::memory_order_relaxed), p.fadeFrom, p.fadeTarget, p.fadeStartFrame,
                   rt.fadeDurationFrames.load(std::memory_order_relaxed),
                   rt.deckVolume.load(std::memory_order_relaxed)};
    std::uint32_t declickRemaining = rt.declickRemaining.load(std::memory_order_relaxed);
    MeterAccumulator meters;
    GainBlock gains;
    float lr[2 * kRenderBlock];
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
#if VELMORA_X86
        if (avx2)
            fillGainsAvx2(fade, declickRemaining, p.declickTotal, p.trackGain, frameClockAtStart + first, n, gains);
        else
#endif
            fillGains(fade, declickRemaining, p.declickTotal, p.trackGain, frameClockAtStart + first, n, gains);
        const std::uint32_t fast =
            stereoKernel ? std::min(n, unclamped > first ? unclamped - first : 0) : 0;
        if (fast > 0) {
#if VELMORA_X86
            if (vector && pairAtZero) {
                // Output added in the kernel; only clamped frames go through lr.
                interpolateStereoAvx2(samples, pos0, step, first, fast, gains, lr, meters,
                                      out + static_cast<std::size_t>(first) * 2);
            } else if (vector)
                interpolateStereoAvx2(samples, pos0, step, first, fast, gains, lr, meters, nullptr);
            else
#endif
                interpolateStereoPortable(samples, pos0, step, first, fast, gains, lr, meters);
        }
        if (fast < n) {
            GainBlock rest;
            for (std::uint32_t k = fast; k < n; ++k) {
                rest.gain[k - fast] = gains.gain[k];
                rest.trackMul[k - fast] = gains.trackMul[k];
            }
            interpolateClamped(samples, totalFrames, channels, pos0, step, first + fast, n - fast, rest,
                               lr + 2 * fast, meters);
        }
        float* block = out + static_cast<std::size_t>(first) * outChannels;
#if VELMORA_X86
        if (pairAtZero && avx2) {
            const std::uint32_t done = vector ? fast : 0;
            addPairAvx2(block + 2 * done, lr + 2 * done, gains.gain + done, n - done);
            continue;
        }
#endif
        for (std::uint32_t k = 0; k < n; ++k)
            addToOutput(p, k, block, outChannels, lr[2 * k], lr[2 * k + 1], static_cast<float>(gains.gain[k]));
    }

    rt.deckVolume.store(fade.volume, std::memory_order_relaxed);
    rt.fadeActive.store(fade.active, std::memory_order_relaxed);
    rt.fadeDurationFrames.store(fade.durationFrames, std::memory_order_relaxed);
    rt.declickRemaining.store(declickRemaining, std::memory_order_relaxed);
    const double pos = pos0 + static_cast<double>(rendered) * step;
    if (rendered < frameCount) {
        endOfTrack(rt, p, pos);
        return;
    }
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

void setVectorRender(bool enabled) noexcept { gVectorAllowed.store(enabled, std::memory_order_relaxed); }

bool vectorRenderActive() noexcept { return kHasAvx2 && gVectorAllowed.load(std::memory_order_relaxed); }

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
