#include "decks/limiter.hpp"

#include <algorithm>
#include <cmath>

namespace velmora {

bool applyMasterLimiter(float* buffer, std::size_t sampleCount, bool enabled, double ceiling) noexcept {
    if (buffer == nullptr || sampleCount == 0) return false;
    float peak = 0.0f;
    for (std::size_t i = 0; i < sampleCount; ++i) peak = std::max(peak, std::fabs(buffer[i]));
    // NaN ceilings act as the top of the range.
    const double clamped = std::isnan(ceiling) ? kLimiterCeilingMax
                                               : std::clamp(ceiling, kLimiterCeilingMin, kLimiterCeilingMax);
    const float limit = static_cast<float>(clamped);
    const float gain = (enabled && peak > limit) ? limit / peak : 1.0f;
    const bool engaged = gain != 1.0f;
    for (std::size_t i = 0; i < sampleCount; ++i) {
        float x = engaged ? buffer[i] * gain : buffer[i];
        x = std::clamp(x, -1.0f, 1.0f);
        if (!(std::fabs(x) >= 1e-20f)) x = 0.0f;  // also turns NaN into silence
        buffer[i] = x;
    }
    return engaged;
}

}  // namespace velmora
