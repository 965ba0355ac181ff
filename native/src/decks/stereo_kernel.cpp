// The wide kernel's helpers return 256-bit vectors by value. They are always
// inlined into the function built for AVX2, so no such value crosses a call
// and the ABI warning does not apply. (GCC reports it at the end of the file,
// hence set before everything and never popped.)
#pragma GCC diagnostic ignored "-Wpsabi"

#include "decks/stereo_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "decks/gain_ramp.hpp"
#include "decks/vector_ops.hpp"

namespace velmora {
namespace {

using simd::f4;
using simd::f4u;
using simd::PortableOps;

constexpr double kFixedOne = 4294967296.0;
constexpr float kFractionScale = 1.0f / 2147483648.0f;  // top 31 bits of the fraction
constexpr std::int32_t kNearWhole = 1 << 15;            // 2^-16 frame, in those bits
// Lane j of an 8-lane group holds frame kLaneFrame[j], so that duplicating
// the low or high pairs of each 128-bit half gives frames 0-3 or 4-7 in
// left/right order. The order is its own inverse.
constexpr int kLaneFrame[8] = {0, 1, 4, 5, 2, 3, 6, 7};
alignas(32) constexpr std::uint32_t kLaneFrameU[8] = {0, 1, 4, 5, 2, 3, 6, 7};
alignas(32) constexpr float kLaneFrameF[8] = {0, 1, 4, 5, 2, 3, 6, 7};

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
    const Ops::F g = kFade ? cubicGainAt(Ops::splat(b.fadeGainEnd), Ops::splat(b.fadeGainCubic), lanes(remaining))
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
        g = cubicGainAt(b.fadeGainEnd, b.fadeGainCubic, r);
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
            g = cubicGainAt(gainEnd, gainCubic, remaining);
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

// The four kernels (fade or not, pair output or not) of one build. Inlined
// into each function below, so each build is compiled for its own target.
template <class Ops>
VELMORA_ALWAYS_INLINE inline void stereoBlockWith(const StereoBlock& b, StereoLevels& levels) noexcept {
    if (b.fade) {
        if (b.pairOut != nullptr) stereoKernel<Ops, true, true>(b, levels);
        else stereoKernel<Ops, true, false>(b, levels);
    } else {
        if (b.pairOut != nullptr) stereoKernel<Ops, false, true>(b, levels);
        else stereoKernel<Ops, false, false>(b, levels);
    }
}

#if VELMORA_X86
__attribute__((target("avx2"))) void stereoBlockWide(const StereoBlock& b, StereoLevels& levels) noexcept {
    stereoBlockWith<simd::WideOps>(b, levels);
}
#endif

void stereoBlockPortable(const StereoBlock& b, StereoLevels& levels) noexcept {
    stereoBlockWith<PortableOps>(b, levels);
}

}  // namespace

void renderStereoBlock(const StereoBlock& block, StereoLevels& levels, bool wide) noexcept {
#if VELMORA_X86
    if (wide) {
        stereoBlockWide(block, levels);
        return;
    }
#else
    (void)wide;
#endif
    stereoBlockPortable(block, levels);
}

}  // namespace velmora
