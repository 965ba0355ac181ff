#pragma once
// Every decoded sample is finite and within ±kMaxDecodedSample before it
// reaches the mix: a damaged or hostile file must not hand the limiter a
// sample of 1e30 (which would scale the whole mix to silence) or the meters a
// NaN.

#include <cstddef>

namespace velmora {

// +12 dBFS: float masters' over-range peaks stay as they are.
inline constexpr float kMaxDecodedSample = 4.0f;

// NaN and infinities become 0, finite samples beyond the bound are clamped to
// it. A pass that only reads when nothing needs changing, so that clean audio
// costs one load per sample.
void boundDecodedSamples(float* samples, std::size_t count) noexcept;

}  // namespace velmora
