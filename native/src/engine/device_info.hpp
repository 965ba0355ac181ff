#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

struct DeviceInfo {
    std::string id;
    std::string name;
    std::int32_t channels = 2;
    bool isDefault = false;
    std::string backend = "standard";
    std::string hostApiName;
    bool isAsio = false;
    double defaultSampleRate = 48000.0;
    double defaultLowOutputLatencyMs = 0.0;
    double defaultHighOutputLatencyMs = 0.0;
    std::vector<std::int32_t> supportedSampleRates;
    std::int32_t asioMinBufferSize = 0;
    std::int32_t asioMaxBufferSize = 0;
    std::int32_t asioPreferredBufferSize = 0;
    std::int32_t asioGranularity = 0;
};

}  // namespace velmora
