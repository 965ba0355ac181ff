#include "decoding/sample_bounds.hpp"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora {

namespace {

void fix(float* samples, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const float x = samples[i];
        if (!std::isfinite(x))
            samples[i] = 0.0f;
        else if (x > kMaxDecodedSample)
            samples[i] = kMaxDecodedSample;
        else if (x < -kMaxDecodedSample)
            samples[i] = -kMaxDecodedSample;
    }
}

// True when some sample is not a number within the bound.
bool needsFix(const float* samples, std::size_t count) noexcept {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    const __m128 bound = _mm_set1_ps(kMaxDecodedSample);
    // "Not less or equal" also holds for NaN. Two accumulators: loads are the limit.
    __m128 a = _mm_setzero_ps(), b = a;
    for (; i + 8 <= count; i += 8) {
        a = _mm_or_ps(a, _mm_cmpnle_ps(_mm_and_ps(_mm_loadu_ps(samples + i), absMask), bound));
        b = _mm_or_ps(b, _mm_cmpnle_ps(_mm_and_ps(_mm_loadu_ps(samples + i + 4), absMask), bound));
    }
    if (_mm_movemask_ps(_mm_or_ps(a, b)) != 0) return true;
#endif
    for (; i < count; ++i)
        if (!(std::fabs(samples[i]) <= kMaxDecodedSample)) return true;
    return false;
}

}  // namespace

void boundDecodedSamples(float* samples, std::size_t count) noexcept {
    if (samples != nullptr && needsFix(samples, count)) fix(samples, count);
}

}  // namespace velmora
