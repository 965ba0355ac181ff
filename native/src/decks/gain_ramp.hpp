#pragma once
// The gains a deck's frames get besides its track gain: the fade's ease-out
// cubic, the share of it the track meter follows, and the declick ramp after
// a load, play or seek. Audio thread; arithmetic only.

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace velmora {

// A fade target at or below this is silence for the track meter.
inline constexpr double kSilentTarget = 1e-6;

// A timed fade of the deck volume: an ease-out cubic from `from` to `target`
// over `durationFrames` frames of the engine's clock from `startFrame`.
struct Fade {
    bool active = false;
    double from = 1.0;
    double target = 1.0;
    std::uint64_t startFrame = 0;
    std::uint64_t durationFrames = 0;
};

// A fade as the render runs it, with the volume it has reached.
struct FadeState : Fade {
    double volume = 1.0;
};

// The fade's curve: the volume `t` (0 to 1) of the way through it.
inline double easeOutCubic(double from, double target, double t) noexcept {
    const double u = 1.0 - t;
    return from + (1.0 - u * u * u) * (target - from);
}

// The same curve for the stereo kernels, in float and counted from the
// frames left: volume = target + (from - target) x (left / duration)^3, so
// gain = end + cubic x left^3 with the constants below.
struct CubicGain {
    float end = 0.0f;
    float cubic = 0.0f;
};
inline CubicGain cubicGainOf(const FadeState& fade, double trackGain) noexcept {
    const double invDuration = 1.0 / static_cast<double>(fade.durationFrames);
    return {static_cast<float>(trackGain * fade.target),
            static_cast<float>(trackGain * (fade.from - fade.target) * invDuration * invDuration * invDuration)};
}
// For floats and for vectors of them alike.
template <class T>
[[gnu::always_inline]] inline T cubicGainAt(const T& end, const T& cubic, const T& left) noexcept {
    return end + cubic * ((left * left) * left);
}

// What the track meter divides a running fade's volume by: its larger end.
inline double fadeNorm(const FadeState& fade) noexcept {
    return std::max({std::abs(fade.from), std::abs(fade.target), kSilentTarget});
}

// The volume of `absoluteFrame`, moving the fade on; `endedNow` tells the
// frame on which it reached its target.
inline double advanceFade(FadeState& fade, std::uint64_t absoluteFrame, bool& endedNow) noexcept {
    endedNow = false;
    if (!fade.active || fade.durationFrames == 0) return fade.volume;
    const std::uint64_t elapsed = absoluteFrame > fade.startFrame ? absoluteFrame - fade.startFrame : 0;
    if (elapsed < fade.durationFrames) {
        fade.volume = easeOutCubic(fade.from, fade.target,
                                   static_cast<double>(elapsed) / static_cast<double>(fade.durationFrames));
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
    if (fade.active || (endedNow && toSilence)) return std::clamp(volume / fadeNorm(fade), 0.0, 5.0);
    if (fade.durationFrames != 0 && toSilence) return 0.0;
    return 1.0;
}

// One frame of the declick ramp: its factor, and the frame counted off.
inline double declickStep(std::uint32_t& remaining, std::uint32_t total) noexcept {
    const double factor = std::clamp(1.0 - static_cast<double>(remaining) / total, 0.0, 1.0);
    --remaining;
    return factor;
}

}  // namespace velmora
