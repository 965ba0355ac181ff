#pragma once
#include <cstdint>
#include <string>

#include "decoding/sample_rate.hpp"

namespace velmora {

struct EngineConfig {
    std::string backend = "standard";
    std::int32_t sampleRate = 48000;
    std::int32_t bufferSize = 256;
    std::string deviceId = "default";
    bool showCriticalMode = false;
    bool masterLimiterEnabled = true;
    double masterLimiterCeiling = 0.98;
};

inline constexpr std::int32_t kMinBufferSizeStandard = 64;
inline constexpr std::int32_t kMinBufferSizeAsio = 1;
// Larger buffers play (the render works in slices), but a few million frames
// would have PortAudio allocate gigabytes and one callback run for seconds.
inline constexpr std::int32_t kMaxBufferSize = 65536;

// Exactly "asio" selects ASIO mode; anything else is standard mode.
inline bool isAsioBackend(const std::string& backend) { return backend == "asio"; }
inline std::int32_t minBufferSize(const std::string& backend) {
    return isAsioBackend(backend) ? kMinBufferSizeAsio : kMinBufferSizeStandard;
}
// Lowered to 0.9999 if above, then raised to 0.5 if below.
double clampLimiterCeiling(double ceiling);
// The bounds of every field.
EngineConfig clampConfig(EngineConfig config);

}  // namespace velmora
