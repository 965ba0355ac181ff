#include "engine/engine_config.hpp"

#include <algorithm>
#include <cmath>

namespace velmora {

double clampLimiterCeiling(double ceiling) {
    if (std::isnan(ceiling)) return 0.9999;
    if (ceiling > 0.9999) ceiling = 0.9999;
    if (ceiling < 0.5) ceiling = 0.5;
    return ceiling;
}

EngineConfig clampConfig(EngineConfig config) {
    config.sampleRate = std::max(config.sampleRate, kMinSampleRate);
    config.bufferSize = std::clamp(config.bufferSize, minBufferSize(config.backend), kMaxBufferSize);
    config.masterLimiterCeiling = clampLimiterCeiling(config.masterLimiterCeiling);
    return config;
}

}  // namespace velmora
