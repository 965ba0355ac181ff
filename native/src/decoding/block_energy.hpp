#pragma once
// Sums of squares over fixed blocks of frames, taken while a track decodes
// (the chunk just decoded is still in cache) so that an analysis of a cached
// track reads one value per block instead of every sample. The sums are float
// estimates with a stated error bound: users decide from them only where the
// bound leaves no doubt and read the samples otherwise.

#include <cstdint>
#include <vector>

namespace velmora {

struct BlockEnergy {
    std::uint32_t blockFrames = 0;  // 0: none
    // One per whole block, in order (a partial last block has none). A block
    // holding a non-finite sample, or a square beyond float range, sums to a
    // non-finite value.
    std::vector<float> sums;

    bool covers(std::uint64_t frames) const noexcept {
        return blockFrames > 0 && sums.size() == frames / blockFrames;
    }

    // A finite sum s of a block of `blockSamples` samples whose exact sum of
    // squares is e satisfies |s - e| <= relativeError(blockSamples) * e +
    // blockSamples * kUnderflowPerSample. The second term covers squares and
    // sums that underflow, flushed to zero or not.
    static double relativeError(std::uint64_t blockSamples) noexcept {
        return static_cast<double>(blockSamples + 16) * 0x1p-23;
    }
    static constexpr double kUnderflowPerSample = 0x1p-124;
};

// Block length for a rate: the largest divisor of 10 ms of frames up to 128
// frames, so that windows of whole 10 ms multiples cover whole blocks; 64 when
// 10 ms has no divisor from 16 to 128.
std::uint32_t blockEnergyFrames(std::int32_t sampleRate);

// Sums the blocks a growing buffer has completed since the last update.
class BlockEnergyBuilder {
  public:
    BlockEnergyBuilder() = default;
    BlockEnergyBuilder(std::int32_t channels, std::uint32_t blockFrames);

    void reserve(std::uint64_t frames);
    // `samples` holds `frames` whole frames from the start of the track.
    void update(const float* samples, std::uint64_t frames);
    BlockEnergy take();

  private:
    std::uint64_t channels_ = 0;
    std::uint64_t doneFrames_ = 0;
    BlockEnergy energy_;
};

BlockEnergy computeBlockEnergy(const float* samples, std::uint64_t frames, std::int32_t channels,
                               std::uint32_t blockFrames);

}  // namespace velmora
