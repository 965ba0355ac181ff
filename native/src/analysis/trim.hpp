#pragma once
#include <string>

#include "decoding/pcm_buffer.hpp"
#include "decoding/track_cache.hpp"
#include "decoding/track_descriptor.hpp"

namespace velmora {

struct TrimResult {
    bool ok = false;
    std::string message;
    double cueInSeconds = 0.0;
    double cueOutSeconds = 0.0;
    double durationSeconds = 0.0;
};

// Decodes through the cache (not for playback) and runs detectTrim.
TrimResult analyzeTrackTrim(TrackCache& cache, const TrackDescriptor& track, double windowMs,
                            double preRollSec, double postRollSec);

TrimResult detectTrim(const PcmBufferPtr& buffer, double windowMs, double preRollSec,
                      double postRollSec);

}  // namespace velmora
