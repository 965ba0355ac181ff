#include "decks/limiter.hpp"

#include <algorithm>
#include <cmath>

#include "decks/cpu_features.hpp"

namespace velmora {
namespace {

float peakPortable(const float* buffer, std::size_t n) noexcept {
    float peak = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = std::fabs(buffer[i]);
        peak = x > peak ? x : peak;  // NaN never wins
    }
    return peak;
}

void clipPortable(float* buffer, std::size_t n, bool engaged, float gain) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        float x = engaged ? buffer[i] * gain : buffer[i];
        x = std::clamp(x, -1.0f, 1.0f);
        if (!(std::fabs(x) >= 1e-20f)) x = 0.0f;  // also turns NaN into silence
        buffer[i] = x;
    }
}

#if VELMORA_X86
__attribute__((target("avx2"))) float peakAvx2(const float* buffer, std::size_t n) noexcept {
    const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    __m256 peak = _mm256_setzero_ps();
    std::size_t i = 0;
    // max(x, peak) returns peak when x is NaN.
    for (; i + 8 <= n; i += 8) peak = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(buffer + i), absMask), peak);
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, peak);
    float result = peakPortable(buffer + i, n - i);
    for (float lane : lanes) result = lane > result ? lane : result;
    return result;
}

__attribute__((target("avx2"))) void clipAvx2(float* buffer, std::size_t n, bool engaged, float gain) noexcept {
    const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    const __m256 one = _mm256_set1_ps(1.0f), minusOne = _mm256_set1_ps(-1.0f);
    const __m256 tiny = _mm256_set1_ps(1e-20f), g = _mm256_set1_ps(gain);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 x = _mm256_loadu_ps(buffer + i);
        if (engaged) x = _mm256_mul_ps(x, g);
        // Operand order keeps NaN through the clamp; the ordered compare then
        // flushes it with the tiny values.
        x = _mm256_min_ps(one, _mm256_max_ps(minusOne, x));
        x = _mm256_and_ps(x, _mm256_cmp_ps(_mm256_and_ps(x, absMask), tiny, _CMP_GE_OQ));
        _mm256_storeu_ps(buffer + i, x);
    }
    clipPortable(buffer + i, n - i, engaged, gain);
}
#endif

}  // namespace

bool applyMasterLimiter(float* buffer, std::size_t sampleCount, bool enabled, double ceiling) noexcept {
    if (buffer == nullptr || sampleCount == 0) return false;
    const bool avx2 = kCpuHasAvx2;
    float peak = 0.0f;
#if VELMORA_X86
    if (avx2) peak = peakAvx2(buffer, sampleCount);
    else
#endif
        peak = peakPortable(buffer, sampleCount);
    // NaN ceilings act as the top of the range.
    const double clamped = std::isnan(ceiling) ? kLimiterCeilingMax
                                               : std::clamp(ceiling, kLimiterCeilingMin, kLimiterCeilingMax);
    const float limit = static_cast<float>(clamped);
    const float gain = (enabled && peak > limit) ? limit / peak : 1.0f;
    const bool engaged = gain != 1.0f;
#if VELMORA_X86
    if (avx2) clipAvx2(buffer, sampleCount, engaged, gain);
    else
#endif
        clipPortable(buffer, sampleCount, engaged, gain);
    return engaged;
}

}  // namespace velmora
