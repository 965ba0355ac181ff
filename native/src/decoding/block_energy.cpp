#include "decoding/block_energy.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora {

namespace {

// Float throughout: this runs over every decoded sample, and squares in float
// cost a third of the double conversions. Non-finite samples are not masked;
// they make the block non-finite, which tells users to read its samples.
float sumOfSquares(const float* samples, std::size_t count) {
    std::size_t i = 0;
    float sum = 0.0f;
#if defined(__SSE2__)
    if (count >= 4) {
        // Four accumulators: one would wait on the previous add every step.
        __m128 a = _mm_setzero_ps(), b = a, c = a, d = a;
        for (; i + 16 <= count; i += 16) {
            const __m128 v0 = _mm_loadu_ps(samples + i);
            const __m128 v1 = _mm_loadu_ps(samples + i + 4);
            const __m128 v2 = _mm_loadu_ps(samples + i + 8);
            const __m128 v3 = _mm_loadu_ps(samples + i + 12);
            a = _mm_add_ps(a, _mm_mul_ps(v0, v0));
            b = _mm_add_ps(b, _mm_mul_ps(v1, v1));
            c = _mm_add_ps(c, _mm_mul_ps(v2, v2));
            d = _mm_add_ps(d, _mm_mul_ps(v3, v3));
        }
        // The rest (a block is rarely a multiple of 16) on separate accumulators too.
        if (i + 8 <= count) {
            const __m128 v0 = _mm_loadu_ps(samples + i);
            const __m128 v1 = _mm_loadu_ps(samples + i + 4);
            a = _mm_add_ps(a, _mm_mul_ps(v0, v0));
            b = _mm_add_ps(b, _mm_mul_ps(v1, v1));
            i += 8;
        }
        if (i + 4 <= count) {
            const __m128 v = _mm_loadu_ps(samples + i);
            c = _mm_add_ps(c, _mm_mul_ps(v, v));
            i += 4;
        }
        if (i + 2 <= count) {
            const __m128 v =
                _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples + i)));
            d = _mm_add_ps(d, _mm_mul_ps(v, v));
            i += 2;
        }
        a = _mm_add_ps(_mm_add_ps(a, b), _mm_add_ps(c, d));
        a = _mm_add_ps(a, _mm_movehl_ps(a, a));
        a = _mm_add_ss(a, _mm_shuffle_ps(a, a, 1));
        sum = _mm_cvtss_f32(a);
    }
#endif
    for (; i < count; ++i) sum += samples[i] * samples[i];
    return sum;
}

}  // namespace

std::uint32_t blockEnergyFrames(std::int32_t sampleRate) {
    const std::uint32_t tenMs = sampleRate > 0 ? static_cast<std::uint32_t>(sampleRate) / 100 : 0;
    for (std::uint32_t frames = std::min<std::uint32_t>(tenMs, 128); frames >= 16; --frames)
        if (tenMs % frames == 0) return frames;
    return 64;
}

BlockEnergyBuilder::BlockEnergyBuilder(std::int32_t channels, std::uint32_t blockFrames)
    : channels_(channels > 0 ? static_cast<std::uint64_t>(channels) : 0) {
    energy_.blockFrames = channels > 0 ? blockFrames : 0;
}

void BlockEnergyBuilder::reserve(std::uint64_t frames) {
    if (energy_.blockFrames > 0) energy_.sums.reserve(frames / energy_.blockFrames + 1);
}

void BlockEnergyBuilder::update(const float* samples, std::uint64_t frames) {
    const std::uint64_t block = energy_.blockFrames;
    if (block == 0) return;
    for (; doneFrames_ + block <= frames; doneFrames_ += block)
        energy_.sums.push_back(sumOfSquares(samples + doneFrames_ * channels_, block * channels_));
}

BlockEnergy BlockEnergyBuilder::take() {
    doneFrames_ = 0;
    return std::move(energy_);
}

BlockEnergy computeBlockEnergy(const float* samples, std::uint64_t frames, std::int32_t channels,
                               std::uint32_t blockFrames) {
    BlockEnergyBuilder builder(channels, blockFrames);
    builder.reserve(frames);
    builder.update(samples, frames);
    return builder.take();
}

}  // namespace velmora
