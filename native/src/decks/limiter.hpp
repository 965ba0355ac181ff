#pragma once
#include <cstddef>

namespace velmora {

inline constexpr double kLimiterCeilingMin = 0.5;
inline constexpr double kLimiterCeilingMax = 0.9999;

// Audio thread. Allocation-free, in place. Scales the whole buffer down to
// the ceiling when its peak exceeds it (one gain per buffer, no state), then
// clips to [-1, 1] and flushes values below 1e-20 to zero whether or not the
// limiter is enabled. Returns true when it scaled the buffer.
bool applyMasterLimiter(float* buffer, std::size_t sampleCount, bool enabled, double ceiling) noexcept;

}  // namespace velmora
