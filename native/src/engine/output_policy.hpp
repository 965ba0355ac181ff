#pragma once
// Pure rules of stream opening, kept apart so they are tested without a device.

#include <cstdint>
#include <optional>
#include <string>

namespace velmora {

// A device id read the way strtol/atoi read it: leading white space and a
// sign allowed, stops at the first non-digit ("3x" is 3). No digits, or a
// value outside int32, gives nothing.
std::optional<std::int32_t> parseDeviceIndex(const std::string& deviceId);

struct AsioBufferSizes {
    bool ok = false;  // the driver answered
    long minSize = 0;
    long maxSize = 0;
    long preferredSize = 0;
    long granularity = 0;
};

// Frames per buffer in ASIO mode for a request (raised to 1) and the driver's
// allowed sizes; granularity -1 steps by powers of two from the minimum.
std::int32_t chooseAsioBufferSize(std::int32_t requested, const AsioBufferSizes& sizes);

}  // namespace velmora
