#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "decoding/track_descriptor.hpp"

namespace velmora {

struct WaveformPeak {
    double min = 0.0;
    double max = 0.0;
    double avg = 0.0;
    double amp = 0.0;
};

struct WaveformResult {
    bool ok = false;
    std::string message;
    double durationSeconds = 0.0;
    std::int32_t sampleRate = 0;
    std::int32_t channels = 0;
    std::vector<WaveformPeak> peaks;
};

// Upper bound on buckets, so that one call cannot exhaust memory.
inline constexpr std::int32_t kMaxWaveformPoints = 1'048'576;

// Streams the file once at `engineSampleRate` (at least kMinSampleRate) into buckets.
WaveformResult computeWaveform(std::int32_t engineSampleRate, const TrackDescriptor& track,
                               std::int32_t maxPoints);

}  // namespace velmora
