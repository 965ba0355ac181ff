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

// One frame of the declick ramp: its factor, and the frame counted off.
inline double declickStep(std::uint32_t& remaining, std::uint32_t total) noexcept {
    const double factor = std::clamp(1.0 - static_cast<double>(remaining) / total, 0.0, 1.0);
    --remaining;
    return factor;
}

FadeState loadFade(const DeckRuntime& rt, const DeckPublication& p) noexcept {
    return FadeState{rt.fadeActive.load(std::memory_order_relaxed), p.fadeFrom, p.fadeTarget, p.fadeStartFrame,
                     rt.fadeDurationFrames.load(std::memory_order_relaxed),
                     rt.deckVolume.load(std::memory_order_relaxed)};
}

void storeGainState(DeckRuntime& rt, const FadeState& fade, std::uint32_t declickRemaining) noexcept {
    rt.deckVolume.store(fade.volume, std::memory_order_relaxed);
    rt.fadeActive.store(fade.active, std::memory_order_relaxed);
    rt.fadeDurationFrames.store(fade.durationFrames, std::memory_order_relaxed);
    rt.declickRemaining.store(declickRemaining, std::memory_order_relaxed);
}

// Channels of the routing beyond the rendered ones (a device with fewer
// outputs than the decks ask for) are not rendered.
inline void addToOutput(const DeckPublication& p, std::uint32_t frameIndex, float* out,
                        int outChannels, float left, float right, float gain) noexcept {
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

// Whole frames in `seconds` at `rate`. Times past any frame count (an
// infinite cue-out, an absurd declared duration) saturate: a float to integer
// conversion out of range is undefined.
std::uint64_t framesIn(double rate, double seconds) noexcept {
    const double frames = rate * seconds;
    if (!(frames > 0.0)) return 0;
    if (frames >= 0x1p64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(frames);
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

// ---------------------------------------------------------------------------
// Stereo kernels. A block of a stereo track whose frames all have both
// neighbours, under a constant gain or a fade running through the whole
// block, is rendered eight frames at a time:
//  - positions are 32.32 fixed point, the same to the sample as the double
//    positions pos0 + i x step. A frame whose fraction lies within 2^-16 of a
//    whole frame could round to the other side in double; its group goes out
//    of line and such frames take the double position's index.
//  - interpolation and gains are float; the fade is evaluated per frame as
//    target + (from - target) x u^3 with u = frames left / duration.
//  - meters accumulate the frame values (constant gain: scaled once per
//    block) or the gained values (fade: the track meter is the deck meter
//    over the fade's normalisation, as the track factor is volume / norm).
// The same template is built for 128-bit vectors (the portable path, two
// halves per 8 lanes) and for 256-bit ones where the CPU has AVX2; the lanes
// see the same operations in the same order, so both give the same samples
// and meters.

// Frame values of one block and the gains the kernels apply.
struct StereoBlock {
    const float* samples = nullptr;
    double pos0 = 0.0;  // frame k of the block sits at pos0 + (first + k) x step
    double step = 1.0;
    std::uint32_t first = 0;
    std::uint32_t frames = 0;
    bool fade = false;
    float gain = 1.0f;             // constant gain
    // Fade: gain = gainEnd + gainCubic x remaining^3, `remaining` counting
    // the frames left of the fade (from fadeRemaining at the first frame).
    float fadeRemaining = 0.0f;
    float fadeGainEnd = 0.0f;
    float fadeGainCubic = 0.0f;
    float* pairOut = nullptr;  // adds onto channels 0 and 1 of a 2-channel block; else
    float* lr = nullptr;       // stores the frame values here
    float* lrGain = nullptr;   // and, with a fade, each sample's gain here
};

// Peak and sum of squares per channel: of the frame values under a constant
// gain, of the gained values under a fade.
struct StereoLevels {
    double peak[2] = {0.0, 0.0};
    double sum[2] = {0.0, 0.0};
};

constexpr double kFixedOne = 4294967296.0;
constexpr float kFractionScale = 1.0f / 2147483648.0f;  // top 31 bits of the fraction
constexpr std::int32_t kNearWhole = 1 << 15;            // 2^-16 frame, in those bits
// Lane j of an 8-lane group holds frame kLaneFrame[j], so that duplicating
// the low or high pairs of each 128-bit half gives frames 0-3 or 4-7 in
// left/right order. The order is its own inverse.
constexpr int kLaneFrame[8] = {0, 1, 4, 5, 2, 3, 6, 7};
alignas(32) constexpr std::uint32_t kLaneFrameU[8] = {0, 1, 4, 5, 2, 3, 6, 7};
alignas(32) constexpr float kLaneFrameF[8] = {0, 1, 4, 5, 2, 3, 6, 7};

typedef float f4 __attribute__((vector_size(16)));
typedef std::uint32_t u4 __attribute__((vector_size(16)));
typedef std::int32_t s4 __attribute__((vector_size(16)));
typedef double d2 __attribute__((vector_size(16)));
typedef std::uint64_t q2 __attribute__((vector_size(16)));
// Unaligned views for loads and stores by value: a memcpy from a vector's
// address can keep the vector in memory (an accumulator round-tripping
// through the stack every iteration).
typedef float f4u __attribute__((vector_size(16), aligned(4), may_alias));
typedef std::uint32_t u4u __attribute__((vector_size(16), aligned(4), may_alias));

#define VELMORA_OP VELMORA_ALWAYS_INLINE static inline

// Eight lanes as two 128-bit halves.
struct PortableOps {
    struct F {
        f4 lo, hi;
    };
    struct U {
        u4 lo, hi;
    };
    VELMORA_OP F add(F a, F b) { return {a.lo + b.lo, a.hi + b.hi}; }
    VELMORA_OP F sub(F a, F b) { return {a.lo - b.lo, a.hi - b.hi}; }
    VELMORA_OP F mul(F a, F b) { return {a.lo * b.lo, a.hi * b.hi}; }
    // max(x, m) keeps m when x is NaN, as std::max(m, x) does.
    VELMORA_OP F max(F x, F m) { return {x.lo > m.lo ? x.lo : m.lo, x.hi > m.hi ? x.hi : m.hi}; }
    VELMORA_OP F abs(F x) {
        const u4 mask = u4{} + 0x7fffffffU;
        return {(f4)((u4)x.lo & mask), (f4)((u4)x.hi & mask)};
    }
    VELMORA_OP F splat(float v) { return {f4{} + v, f4{} + v}; }
    VELMORA_OP F load(const float* p) {
        return {*reinterpret_cast<const f4u*>(p), *reinterpret_cast<const f4u*>(p + 4)};
    }
    VELMORA_OP void store(float* p, F v) {
        *reinterpret_cast<f4u*>(p) = v.lo;
        *reinterpret_cast<f4u*>(p + 4) = v.hi;
    }
    VELMORA_OP F join(f4 lo, f4 hi) { return {lo, hi}; }
    // Per half: the first (low) or second (high) float pairs of a and b.
    VELMORA_OP F lowPairs(F a, F b) {
        return {(f4)__builtin_shufflevector((d2)a.lo, (d2)b.lo, 0, 2),
                (f4)__builtin_shufflevector((d2)a.hi, (d2)b.hi, 0, 2)};
    }
    VELMORA_OP F highPairs(F a, F b) {
        return {(f4)__builtin_shufflevector((d2)a.lo, (d2)b.lo, 1, 3),
                (f4)__builtin_shufflevector((d2)a.hi, (d2)b.hi, 1, 3)};
    }
    // Per half: lanes 0 0 1 1, or 2 2 3 3.
    VELMORA_OP F dupLow(F x) {
        return {__builtin_shufflevector(x.lo, x.lo, 0, 0, 1, 1), __builtin_shufflevector(x.hi, x.hi, 0, 0, 1, 1)};
    }
    VELMORA_OP F dupHigh(F x) {
        return {__builtin_shufflevector(x.lo, x.lo, 2, 2, 3, 3), __builtin_shufflevector(x.hi, x.hi, 2, 2, 3, 3)};
    }
    VELMORA_OP U loadU(const std::uint32_t* p) {
        return {*reinterpret_cast<const u4u*>(p), *reinterpret_cast<const u4u*>(p + 4)};
    }
    VELMORA_OP U addU(U a, U b) { return {a.lo + b.lo, a.hi + b.hi}; }
    VELMORA_OP U mulU(U a, U b) { return {a.lo * b.lo, a.hi * b.hi}; }
    VELMORA_OP U splatU(std::uint32_t v) { return {u4{} + v, u4{} + v}; }
    VELMORA_OP U halve(U a) { return {a.lo >> 1, a.hi >> 1}; }
    // Signed a < b per lane.
    VELMORA_OP U less(U a, U b) { return {(u4)((s4)b.lo > (s4)a.lo), (u4)((s4)b.hi > (s4)a.hi)}; }
    // Lanes below 2^31, to float.
    VELMORA_OP F toFloat(U a) { return {__builtin_convertvector((s4)a.lo, f4), __builtin_convertvector((s4)a.hi, f4)}; }
    // One bit per lane of a mask.
    VELMORA_OP unsigned laneBits(U mask) {
        unsigned bits = 0;
        for (int j = 0; j < 4; ++j) bits |= (mask.lo[j] & 1U) << j | (mask.hi[j] & 1U) << (j + 4);
        return bits;
    }
    VELMORA_OP bool any(U mask) {
#if VELMORA_X86 && defined(__SSE__)
        return _mm_movemask_ps((__m128)(mask.lo | mask.hi)) != 0;
#else
        const q2 m = (q2)(mask.lo | mask.hi);
        return (m[0] | m[1]) != 0;
#endif
    }
};

#if VELMORA_X86
typedef float f8 __attribute__((vector_size(32)));
typedef std::uint32_t u8 __attribute__((vector_size(32)));
typedef std::int32_t s8 __attribute__((vector_size(32)));
typedef double d4 __attribute__((vector_size(32)));
typedef float f8u __attribute__((vector_size(32), aligned(4), may_alias));
typedef std::uint32_t u8u __attribute__((vector_size(32), aligned(4), may_alias));

// The wide kernel's helpers return 256-bit vectors by value. They are always
// inlined into the one function built for AVX2, so no such value crosses a
// call and the ABI warning does not apply. (GCC reports it at the end of the
// file, hence no pop.)
#pragma GCC diagnostic ignored "-Wpsabi"

// Eight lanes in one 256-bit vector, with generic vector code: built inside
// an AVX2 function it becomes AVX2 instructions.
struct WideOps {
    using F = f8;
    using U = u8;
    VELMORA_OP F add(const F& a, const F& b) { return a + b; }
    VELMORA_OP F sub(const F& a, const F& b) { return a - b; }
    VELMORA_OP F mul(const F& a, const F& b) { return a * b; }
    VELMORA_OP F max(const F& x, const F& m) { return x > m ? x : m; }
    VELMORA_OP F abs(const F& x) { return (f8)((u8)x & 0x7fffffffU); }
    VELMORA_OP F splat(float v) { return f8{} + v; }
    VELMORA_OP F load(const float* p) { return *reinterpret_cast<const f8u*>(p); }
    VELMORA_OP void store(float* p, const F& v) { *reinterpret_cast<f8u*>(p) = v; }
    VELMORA_OP F join(f4 lo, f4 hi) { return __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7); }
    VELMORA_OP F lowPairs(const F& a, const F& b) { return (f8)__builtin_shufflevector((d4)a, (d4)b, 0, 4, 2, 6); }
    VELMORA_OP F highPairs(const F& a, const F& b) { return (f8)__builtin_shufflevector((d4)a, (d4)b, 1, 5, 3, 7); }
    VELMORA_OP F dupLow(const F& x) { return __builtin_shufflevector(x, x, 0, 0, 1, 1, 4, 4, 5, 5); }
    VELMORA_OP F dupHigh(const F& x) { return __builtin_shufflevector(x, x, 2, 2, 3, 3, 6, 6, 7, 7); }
    VELMORA_OP U loadU(const std::uint32_t* p) { return *reinterpret_cast<const u8u*>(p); }
    VELMORA_OP U addU(const U& a, const U& b) { return a + b; }
    VELMORA_OP U mulU(const U& a, const U& b) { return a * b; }
    VELMORA_OP U splatU(std::uint32_t v) { return u8{} + v; }
    VELMORA_OP U halve(const U& a) { return a >> 1; }
    VELMORA_OP U less(const U& a, const U& b) { return (u8)((s8)b > (s8)a); }
    VELMORA_OP F toFloat(const U& a) { return __builtin_convertvector((s8)a, f8); }
    VELMORA_OP unsigned laneBits(const U& mask) {
        unsigned bits = 0;
        for (int j = 0; j < 8; ++j) bits |= (mask[j] & 1U) << j;
        return bits;
    }
    VELMORA_OP bool any(const U& mask) {
#if defined(__GNUC__) && !defined(__clang__)
        // One instruction where the generic reduction takes five. GCC checks
        // the operand only where the kernel is inlined, in the AVX2 function;
        // clang checks it in the template and refuses.
        bool nonzero;
        __asm__("vptest %1, %1" : "=@ccnz"(nonzero) : "x"(mask));
        return nonzero;
#else
        // Halves through memcpy: a shuffle here becomes a slow cross-lane permute.
        u4 lo, hi;
        std::memcpy(&lo, &mask, sizeof lo);
        std::memcpy(&hi, reinterpret_cast<const char*>(&mask) + sizeof lo, sizeof hi);
        const q2 m = (q2)(lo | hi);
        return (m[0] | m[1]) != 0;
#endif
    }
};
#endif

// Where a kernel writes.
struct StereoOutputs {
    float* pair;    // adds onto channels 0 and 1 of a 2-channel block, or
    float* lr;      // stores the frame values
    float* lrGain;  // and, with a fade, each sample's gain
};

// The fixed-point position of a frame: whole frames and a 32-bit fraction
// whose carry moves the index on, two integer instructions a frame.
struct FixedPosition {
    std::uint64_t index = 0;
    std::uint32_t fraction = 0;
    std::uint64_t indexStep = 0;
    std::uint32_t fractionStep = 0;
    VELMORA_ALWAYS_INLINE void advance() noexcept {
        index += indexStep + __builtin_add_overflow(fraction, fractionStep, &fraction);
    }
};

// Whether a fraction lies within kNearWhole of 0 or 1, where the double
// position may fall on the other side of the whole frame (the sum wraps to
// negative near 1). With exact positions nothing is below the signed minimum.
struct NearWhole {
    std::uint32_t low;
    std::int32_t width;
    VELMORA_ALWAYS_INLINE bool operator()(std::uint32_t fraction) const noexcept {
        return static_cast<std::int32_t>((fraction >> 1) + low) < width;
    }
};

VELMORA_ALWAYS_INLINE inline float fractionOf(std::uint32_t fraction) noexcept {
    return static_cast<float>(static_cast<std::int32_t>(fraction >> 1)) * kFractionScale;
}

// The gains of a fade, per lane, from the frames left.
template <class Ops>
VELMORA_ALWAYS_INLINE inline typename Ops::F fadeGains(const typename Ops::F& gainEnd, const typename Ops::F& gainCubic,
                                                       const typename Ops::F& remaining) noexcept {
    return Ops::add(gainEnd, Ops::mul(gainCubic, Ops::mul(Ops::mul(remaining, remaining), remaining)));
}

// Frames `at` to at + 3: each one's L0 R0 L1 R1 from `frame()` in order,
// their fractions and gains duplicated per channel. Interpolates, applies
// the gains, writes and feeds the meters. Half a group at a time leaves
// registers for the accumulators.
template <class Ops, bool kFade, bool kPair, class Frame>
VELMORA_ALWAYS_INLINE inline void stereoHalf(const StereoOutputs& out, std::uint32_t at, const typename Ops::F& fraction2,
                                             const typename Ops::F& gain2, Frame& frame, typename Ops::F& peak,
                                             typename Ops::F& sum) noexcept {
    using F = typename Ops::F;
    f4 v[4];
    for (int j = 0; j < 4; ++j) v[j] = frame();
    const F s02 = Ops::join(v[0], v[2]), s13 = Ops::join(v[1], v[3]);
    const F s0 = Ops::lowPairs(s02, s13), s1 = Ops::highPairs(s02, s13);
    const F x = Ops::add(s0, Ops::mul(Ops::sub(s1, s0), fraction2));
    const F y = Ops::mul(x, gain2);
    if constexpr (kPair) {
        float* o = out.pair + 2 * at;
        Ops::store(o, Ops::add(Ops::load(o), y));
    } else {
        Ops::store(out.lr + 2 * at, x);
        if constexpr (kFade) Ops::store(out.lrGain + 2 * at, gain2);
    }
    const F m = kFade ? y : x;
    peak = Ops::max(Ops::abs(m), peak);
    sum = Ops::add(sum, Ops::mul(m, m));
}

// The eight frames from k, with fractions and gains in lane order.
template <class Ops, bool kFade, bool kPair, class Frame>
VELMORA_ALWAYS_INLINE inline void stereoGroup(const StereoOutputs& out, std::uint32_t k, const typename Ops::F& f,
                                              const typename Ops::F& g, Frame& frame, typename Ops::F& peak,
                                              typename Ops::F& sum) noexcept {
    stereoHalf<Ops, kFade, kPair>(out, k, Ops::dupLow(f), kFade ? Ops::dupLow(g) : g, frame, peak, sum);
    stereoHalf<Ops, kFade, kPair>(out, k + 4, Ops::dupHigh(f), kFade ? Ops::dupHigh(g) : g, frame, peak, sum);
}

// The eight frames from k when one is near a whole frame (`nearLanes`, one
// bit a lane): those take the index of their double position, and its
// fraction where the index differs. Out of line, so the kernels' loops keep
// their registers; 128-bit lanes for both kernels, so both still agree.
template <bool kFade, bool kPair>
[[gnu::noinline]] void nearGroup(const StereoBlock& b, const StereoOutputs& out, std::uint32_t k, FixedPosition& pos,
                                 unsigned nearLanes, PortableOps::F& peak, PortableOps::F& sum) noexcept {
    // Lanes are assembled in registers: stored one by one and loaded whole
    // they would stall.
    float fraction[8], remaining[8];
    std::uint64_t index[8];
    for (std::uint32_t j = 0; j < 8; ++j) {
        const int lane = kLaneFrame[j];
        fraction[lane] = fractionOf(pos.fraction);
        remaining[lane] = b.fadeRemaining - static_cast<float>(k + j);
        index[j] = pos.index;
        pos.advance();
    }
    for (unsigned lanes = nearLanes; lanes != 0; lanes &= lanes - 1) {
        const int lane = __builtin_ctz(lanes);
        const int j = kLaneFrame[lane];
        const double p = b.pos0 + static_cast<double>(b.first + k + static_cast<std::uint32_t>(j)) * b.step;
        const auto i0 = static_cast<std::uint64_t>(static_cast<std::int64_t>(p));
        if (i0 != index[j]) {
            index[j] = i0;
            fraction[lane] = static_cast<float>(p - static_cast<double>(i0));
        }
    }
    using Ops = PortableOps;
    auto lanes = [](const float* v) {
        return Ops::F{f4{v[0], v[1], v[2], v[3]}, f4{v[4], v[5], v[6], v[7]}};
    };
    const Ops::F g = kFade ? fadeGains<Ops>(Ops::splat(b.fadeGainEnd), Ops::splat(b.fadeGainCubic), lanes(remaining))
                           : Ops::splat(b.gain);
    int next = 0;
    auto frame = [&] { return *reinterpret_cast<const f4u*>(b.samples + index[next++] * 2); };
    stereoGroup<Ops, kFade, kPair>(out, k, lanes(fraction), g, frame, peak, sum);
}

// Levels of the frames the kernels take one at a time.
struct ScalarLevels {
    float peak[2] = {0.0f, 0.0f};
    double sum[2] = {0.0, 0.0};
};

// Frame k of a block alone, with the lanes' arithmetic.
template <bool kFade, bool kPair>
void scalarFrame(const StereoBlock& b, const StereoOutputs& out, std::uint32_t k, FixedPosition& pos, NearWhole near,
                 ScalarLevels& levels) noexcept {
    std::uint64_t at = pos.index;
    float f = fractionOf(pos.fraction);
    if (near(pos.fraction)) {
        const double p = b.pos0 + static_cast<double>(b.first + k) * b.step;
        const auto i0 = static_cast<std::uint64_t>(static_cast<std::int64_t>(p));
        if (i0 != at) {
            at = i0;
            f = static_cast<float>(p - static_cast<double>(i0));
        }
    }
    pos.advance();
    const float* s = b.samples + at * 2;
    const float x[2] = {s[0] + (s[2] - s[0]) * f, s[1] + (s[3] - s[1]) * f};
    float g = b.gain;
    if constexpr (kFade) {
        const float r = b.fadeRemaining - static_cast<float>(k);
        g = b.fadeGainEnd + b.fadeGainCubic * ((r * r) * r);
    }
    for (int c = 0; c < 2; ++c) {
        const float y = x[c] * g;
        if constexpr (kPair) {
            out.pair[2 * k + c] += y;
        } else {
            out.lr[2 * k + c] = x[c];
            if constexpr (kFade) out.lrGain[2 * k + c] = g;
        }
        const float v = kFade ? y : x[c];
        levels.peak[c] = std::max(levels.peak[c], std::abs(v));
        levels.sum[c] += static_cast<double>(v * v);
    }
}

// True when the double position of every frame of the block equals its
// fixed-point position exactly (whole or dyadic steps from a dyadic start,
// e.g. a 48 kHz track on a 48 kHz stream): then no frame needs checking.
bool fixedPositionsExact(const StereoBlock& b, std::uint64_t fixedStep) noexcept {
    const double start = b.pos0 * kFixedOne;
    if (!(start >= 0.0 && start < 0x1p63) || static_cast<double>(fixedStep) != b.step * kFixedOne) return false;
    const auto fixedStart = static_cast<std::uint64_t>(start);
    if (static_cast<double>(fixedStart) != start || fixedStep == 0) return false;
    auto bits = [](std::uint64_t v) { return v == 0 ? 0 : 64 - __builtin_clzll(v); };
    const std::uint64_t lastFrame = static_cast<std::uint64_t>(b.first) + b.frames;
    const int stepLow = __builtin_ctzll(fixedStep);
    const int low = fixedStart == 0 ? stepLow : std::min(__builtin_ctzll(fixedStart), stepLow);
    // Frame offsets times the step, and their sums with the start, fit the
    // 53 bits of a double.
    if (bits(fixedStep) - stepLow + bits(lastFrame) > 53) return false;
    const double last = start + static_cast<double>(lastFrame) * static_cast<double>(fixedStep);
    return last < 0x1p63 && bits(static_cast<std::uint64_t>(last)) + 1 - low <= 53;
}

template <class Ops, bool kFade, bool kPair>
VELMORA_ALWAYS_INLINE inline void stereoKernel(const StereoBlock& b, StereoLevels& levels) noexcept {
    using F = typename Ops::F;
    using U = typename Ops::U;
    const float* const samples = b.samples;
    const std::uint32_t frames = b.frames;
    const StereoOutputs out{b.pairOut, b.lr, b.lrGain};
    const double firstPos = b.pos0 + static_cast<double>(b.first) * b.step;
    const auto start = static_cast<std::uint64_t>(firstPos * kFixedOne);
    const auto step = static_cast<std::uint64_t>(b.step * kFixedOne + 0.5);
    FixedPosition pos{start >> 32, static_cast<std::uint32_t>(start), step >> 32, static_cast<std::uint32_t>(step)};
    const bool exact = fixedPositionsExact(b, step);
    const NearWhole near{exact ? 0U : static_cast<std::uint32_t>(kNearWhole),
                         exact ? std::numeric_limits<std::int32_t>::min() : 2 * kNearWhole};

    // The fractions and the fade's frames left, eight lanes at a time (built
    // in registers: lanes stored one by one and loaded whole would stall).
    U fraction = Ops::addU(Ops::splatU(pos.fraction), Ops::mulU(Ops::splatU(pos.fractionStep), Ops::loadU(kLaneFrameU)));
    const U fractionStep8 = Ops::splatU(pos.fractionStep * 8);
    const U nearLow = Ops::splatU(near.low);
    const U nearWidth = Ops::splatU(static_cast<std::uint32_t>(near.width));
    const F scale = Ops::splat(kFractionScale);
    F remaining = Ops::sub(Ops::splat(b.fadeRemaining), Ops::load(kLaneFrameF));
    const F eight = Ops::splat(8.0f);
    // Copies: the output stores could alias the block's fields.
    const F gain = Ops::splat(b.gain);
    const F gainEnd = Ops::splat(b.fadeGainEnd);
    const F gainCubic = Ops::splat(b.fadeGainCubic);
    F peak = Ops::splat(0.0f), sum = Ops::splat(0.0f);
    PortableOps::F nearPeak = PortableOps::splat(0.0f), nearSum = PortableOps::splat(0.0f);
    // Each frame is loaded as soon as its index is known.
    auto frame = [&] {
        const f4 v = *reinterpret_cast<const f4u*>(samples + pos.index * 2);
        pos.advance();
        return v;
    };

    std::uint32_t k = 0;
    for (; k + 8 <= frames; k += 8) {
        const U top = Ops::halve(fraction);
        fraction = Ops::addU(fraction, fractionStep8);
        F g = gain;
        if constexpr (kFade) {
            g = fadeGains<Ops>(gainEnd, gainCubic, remaining);
            remaining = Ops::sub(remaining, eight);
        }
        const U nearMask = Ops::less(Ops::addU(top, nearLow), nearWidth);
        if (Ops::any(nearMask)) [[unlikely]] {
            FixedPosition p = pos;
            nearGroup<kFade, kPair>(b, out, k, p, Ops::laneBits(nearMask), nearPeak, nearSum);
            pos = p;
            continue;
        }
        stereoGroup<Ops, kFade, kPair>(out, k, Ops::mul(Ops::toFloat(top), scale), g, frame, peak, sum);
    }
    ScalarLevels tail;
    for (; k < frames; ++k) scalarFrame<kFade, kPair>(b, out, k, pos, near, tail);

    alignas(32) float lanes[4][8];
    Ops::store(lanes[0], peak);
    Ops::store(lanes[1], sum);
    PortableOps::store(lanes[2], nearPeak);
    PortableOps::store(lanes[3], nearSum);
    for (int c = 0; c < 2; ++c) {
        float p = tail.peak[c];
        double s = tail.sum[c];
        for (int j = c; j < 8; j += 2) {
            p = std::max({p, lanes[0][j], lanes[2][j]});
            s += static_cast<double>(lanes[1][j]) + static_cast<double>(lanes[3][j]);
        }
        levels.peak[c] = p;
        levels.sum[c] = s;
    }
}

#if VELMORA_X86
__attribute__((target("avx2"))) void stereoBlockWide(const StereoBlock& b, StereoLevels& levels) noexcept {
    if (b.fade) {
        if (b.pairOut != nullptr) stereoKernel<WideOps, true, true>(b, levels);
        else stereoKernel<WideOps, true, false>(b, levels);
    } else {
        if (b.pairOut != nullptr) stereoKernel<WideOps, false, true>(b, levels);
        else stereoKernel<WideOps, false, false>(b, levels);
    }
}
const bool kHasAvx2 = [] {
    __builtin_cpu_init();
    return static_cast<bool>(__builtin_cpu_supports("avx2"));
}();
#else
constexpr bool kHasAvx2 = false;
#endif

void stereoBlockPortable(const StereoBlock& b, StereoLevels& levels) noexcept {
    if (b.fade) {
        if (b.pairOut != nullptr) stereoKernel<PortableOps, true, true>(b, levels);
        else stereoKernel<PortableOps, true, false>(b, levels);
    } else {
        if (b.pairOut != nullptr) stereoKernel<PortableOps, false, true>(b, levels);
        else stereoKernel<PortableOps, false, false>(b, levels);
    }
}

std::atomic<bool> gVectorAllowed{true};

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
    k.trackScale = 1.0 / std::max({std::abs(fade.from), std::abs(fade.target), kSilentTarget});
    b.fade = true;
    // volume = target + (from - target) x u^3, u = frames left / duration.
    const double invDuration = 1.0 / static_cast<double>(fade.durationFrames);
    b.fadeRemaining = static_cast<float>(left);
    b.fadeGainEnd = static_cast<float>(trackGain * fade.target);
    b.fadeGainCubic = static_cast<float>(trackGain * (fade.from - fade.target) * invDuration * invDuration * invDuration);
    // The volume of the block's last frame, as the frame-by-frame gains have it.
    const double t = static_cast<double>(elapsed + n - 1) * invDuration;
    const double u = 1.0 - t;
    fade.volume = fade.from + (1.0 - u * u * u) * (fade.target - fade.from);
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
    const double step = sampleRate / static_cast<double>(std::max(ctx.streamSampleRate, 8000));

    // Frame i sits at pos0 + i x step (the same to the sample as adding step
    // frame by frame); every frame before `rendered` is before the end.
    const double pos0 = rt.positionFrames.load(std::memory_order_relaxed);
    const std::uint32_t rendered = framesBelow(pos0, step, std::min(endFrame, total), frameCount);
    const bool startsInside = pos0 >= 0.0;
    // Frames whose right neighbour exists take the unclamped kernels.
    const std::uint32_t unclamped = startsInside ? framesBelow(pos0, step, total - 1.0, rendered) : 0;
    // Sample offsets of the kernels fit in 31 bits.
    const bool stereoTrack = channels == 2 && pcm.samples.size() < (1ULL << 31);
    const bool vector = kHasAvx2 && gVectorAllowed.load(std::memory_order_relaxed);
    const int maxIndex = std::max(outChannels - 1, 0);
    const bool pairAtZero = outChannels == 2 && std::max(p.channelCount, 1) != 1 &&
                            std::clamp(p.channelOffset, 0, maxIndex) == 0;

    FadeState fade = loadFade(rt, p);
    std::uint32_t declickRemaining = rt.declickRemaining.load(std::memory_order_relaxed);
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
#if VELMORA_X86
            if (vector) stereoBlockWide(b, levels);
            else
#endif
                stereoBlockPortable(b, levels);
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
    rt.positionFrames.store(pos, std::memory_order_relaxed);
    rt.positionSeconds.store(std::max(0.0, std::min(p.durationSeconds, pos / sampleRate)),
                             std::memory_order_relaxed);
    publishDeckMeters(rt, meters);
}

void renderFromStream(const RenderContext& ctx, DeckRuntime& rt, const DeckPublication& p,
                      StreamingSource& source, std::uint32_t frameCount, float* out, int outChannels,
                      std::uint64_t frameClockAtStart) noexcept {
    const std::uint64_t ch = static_cast<std::uint64_t>(std::max(source.channels, 1));
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
    // A ring at another rate than the output would play at the wrong speed;
    // the output thread is about to move it to this rate.
    const std::int32_t ringRate = source.sampleRate.load(std::memory_order_relaxed);
    if (ringRate != std::max(ctx.streamSampleRate, 8000)) {
        source.endRender();
        publishZeroMeters(rt);
        return;
    }
    const std::uint64_t sr = static_cast<std::uint64_t>(std::max(ringRate, 1));
    std::uint64_t endFrame = std::numeric_limits<std::uint64_t>::max();
    if (source.durationSeconds > 0.0) endFrame = framesIn(static_cast<double>(sr), source.durationSeconds);
    if (p.cueOutSeconds > 0.0) endFrame = std::min(endFrame, framesIn(static_cast<double>(sr), p.cueOutSeconds));

    std::uint64_t read = source.readIndex.load(std::memory_order_relaxed);
    std::uint64_t playFrame = source.playFrame.load(std::memory_order_relaxed);
    std::uint64_t written = source.writeIndex.load(std::memory_order_acquire);
    const float* ring = source.ring.data();

    FadeState fade = loadFade(rt, p);
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
        if (declickRemaining != 0 && declickTotal != 0) gain *= declickStep(declickRemaining, declickTotal);
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

    storeGainState(rt, fade, declickRemaining);
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
