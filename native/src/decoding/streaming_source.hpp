#pragma once
// A long track played from an open decoder through a ring of float samples.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "decoding/track_descriptor.hpp"

namespace velmora {

struct StreamingSource {
    static constexpr std::uint64_t kRingFrames = 32'000;

    std::int32_t sampleRate = 0;
    std::int32_t channels = 0;
    double durationSeconds = 0.0;
};

using StreamingSourcePtr = std::shared_ptr<StreamingSource>;

}  // namespace velmora
