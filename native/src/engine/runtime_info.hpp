#pragma once
#include <cstdint>
#include <string>

namespace velmora {

struct RuntimeInfo {
    bool streamOpen = false;
    bool streamActive = false;
    bool streamStopped = false;
    bool usingCallbackStream = false;
    std::string activeBackend = "standard";
    std::string activeDeviceId = "default";
    std::string activeHostApiName;
    std::string activeDeviceName;
    std::int32_t channels = 2;
    std::int32_t sampleRate = 48000;
    std::int32_t bufferSize = 256;
    std::int32_t requestedBufferSize = 256;
    double outputLatencyMs = 0.0;
    double streamCpuLoadPercent = 0.0;
    std::uint64_t xrunCount = 0;
    std::uint64_t callbackDropCount = 0;
    std::string streamHealth = "unknown";
    double callbackBudgetMs = 0.0;
    double avgCallbackMs = 0.0;
    double maxCallbackMs = 0.0;
    double audioThreadLoadPercent = 0.0;
    std::uint64_t callbackOverloadCount = 0;
    std::uint64_t limiterEngagedCount = 0;
    std::uint64_t deviceRestartCount = 0;
    bool showCriticalMode = false;
    bool masterLimiterEnabled = true;
    double masterLimiterCeiling = 0.98;
    std::string lastError;
};

}  // namespace velmora
