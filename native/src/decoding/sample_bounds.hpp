#pragma once
// Every decoded sample is finite and within ±kMaxDecodedSample before it
// reaches the mix: a damaged or hostile file must not hand the limiter a
// sample of 1e30 (which would scale the whole mix to silence) or the meters a
// NaN.

#include <cmath>
#include <cstddef>
#include <limits>

namespace velmora {

// NaN and infinities as 0, any other value as it is: for samples and for
// times read from files or tracks alike.
template <class T>
inline T finiteOrZero(T value) noexcept {
    return std::fabs(value) <= std::numeric_limits<T>::max() ? value : T{0};
}

// +12 dBFS: float masters' over-range peaks stay as they are.
inline constexpr float kMaxDecodedSample = 4.0f;

// NaN and infinities become 0, finite samples beyond the bound are clamped to
// it. A pass that only reads when nothing needs changing, so that clean audio
// costs one load per sample.
void boundDecodedSamples(float* samples, std::size_t count) noexcept;

}  // namespace velmora
