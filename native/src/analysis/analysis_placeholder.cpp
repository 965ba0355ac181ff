#include "analysis/trim.hpp"
#include "analysis/waveform.hpp"

namespace velmora {

// Placeholder until the analyses land.
WaveformResult computeWaveform(std::int32_t, const TrackDescriptor&, std::int32_t) {
    WaveformResult result;
    result.message = "analysis unavailable";
    return result;
}

TrimResult analyzeTrackTrim(TrackCache&, const TrackDescriptor&, double, double, double) {
    TrimResult result;
    result.message = "analysis unavailable";
    return result;
}

}  // namespace velmora
