#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "decoding/block_energy.hpp"

namespace velmora {

// A decoder's header is believed only up to this many samples per byte of
// file (far above any codec's expansion): a damaged header must not size a
// buffer beyond what its file could hold.
inline constexpr std::uint64_t kMaxSamplesPerFileByte = 64;

// One decoded track: interleaved float samples at the file's own rate and
// channel count. Immutable once published; shared by reference counting.
struct PcmBuffer {
    std::int32_t sampleRate = 0;
    std::int32_t channels = 0;
    std::vector<float> samples;
    // Filled by the decoders; describes `samples` as decoded, so whoever
    // changes the samples of a copy must clear it.
    BlockEnergy energy;

    std::uint64_t frameCount() const noexcept {
        return channels > 0 ? samples.size() / static_cast<std::uint64_t>(channels) : 0;
    }
    double durationSeconds() const noexcept {
        return (channels > 0 && sampleRate > 0)
                   ? static_cast<double>(samples.size()) / (static_cast<double>(channels) * sampleRate)
                   : 0.0;
    }
};

using PcmBufferPtr = std::shared_ptr<const PcmBuffer>;

}  // namespace velmora
