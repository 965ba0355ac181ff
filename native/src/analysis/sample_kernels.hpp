#pragma once
// Inner loops of the analyses, vectorised where SSE2 is available. Both
// analyses run over every sample of a track, so these dominate their cost.
// Non-finite samples (broken float files) count as silence.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "decoding/sample_bounds.hpp"

namespace velmora::analysis {

struct SampleStats {
    double min = std::numeric_limits<double>::infinity();
    double max = -std::numeric_limits<double>::infinity();
    double absSum = 0.0;
};

// Folds min, max and the sum of |s| of `count` samples into `stats`.
inline void accumulateStats(const float* samples, std::size_t count, SampleStats& stats) {
    std::size_t i = 0;
    float lo = std::numeric_limits<float>::infinity();
    float hi = -std::numeric_limits<float>::infinity();
    double sum = 0.0;
#if defined(__SSE2__)
    if (count >= 4) {
        const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
        const __m128 maxFinite = _mm_set1_ps(std::numeric_limits<float>::max());
        __m128 vlo = _mm_set1_ps(lo);
        __m128 vhi = _mm_set1_ps(hi);
        __m128d sumA = _mm_setzero_pd();
        __m128d sumB = _mm_setzero_pd();
        for (; i + 4 <= count; i += 4) {
            __m128 v = _mm_loadu_ps(samples + i);
            __m128 a = _mm_and_ps(v, absMask);
            const __m128 finite = _mm_cmple_ps(a, maxFinite);  // false for NaN and inf
            v = _mm_and_ps(v, finite);
            a = _mm_and_ps(a, finite);
            vlo = _mm_min_ps(vlo, v);
            vhi = _mm_max_ps(vhi, v);
            sumA = _mm_add_pd(sumA, _mm_cvtps_pd(a));
            sumB = _mm_add_pd(sumB, _mm_cvtps_pd(_mm_movehl_ps(a, a)));
        }
        alignas(16) float l[4], h[4];
        alignas(16) double s[2];
        _mm_store_ps(l, vlo);
        _mm_store_ps(h, vhi);
        _mm_store_pd(s, _mm_add_pd(sumA, sumB));
        lo = std::min({l[0], l[1], l[2], l[3]});
        hi = std::max({h[0], h[1], h[2], h[3]});
        sum = s[0] + s[1];
    }
#endif
    for (; i < count; ++i) {
        const float v = velmora::finiteOrZero(samples[i]);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        sum += std::fabs(v);
    }
    stats.min = std::min(stats.min, static_cast<double>(lo));
    stats.max = std::max(stats.max, static_cast<double>(hi));
    stats.absSum += sum;
}

// Sum of squares of `count` samples, accumulated in double.
inline double sumOfSquares(const float* samples, std::size_t count) {
    std::size_t i = 0;
    double sum = 0.0;
#if defined(__SSE2__)
    if (count >= 4) {
        const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
        const __m128 maxFinite = _mm_set1_ps(std::numeric_limits<float>::max());
        __m128d sumA = _mm_setzero_pd();
        __m128d sumB = _mm_setzero_pd();
        for (; i + 4 <= count; i += 4) {
            __m128 v = _mm_loadu_ps(samples + i);
            v = _mm_and_ps(v, _mm_cmple_ps(_mm_and_ps(v, absMask), maxFinite));
            const __m128d a = _mm_cvtps_pd(v);
            const __m128d b = _mm_cvtps_pd(_mm_movehl_ps(v, v));
            sumA = _mm_add_pd(sumA, _mm_mul_pd(a, a));
            sumB = _mm_add_pd(sumB, _mm_mul_pd(b, b));
        }
        alignas(16) double s[2];
        _mm_store_pd(s, _mm_add_pd(sumA, sumB));
        sum = s[0] + s[1];
    }
#endif
    for (; i < count; ++i) {
        const double v = velmora::finiteOrZero(samples[i]);
        sum += v * v;
    }
    return sum;
}

}  // namespace velmora::analysis
