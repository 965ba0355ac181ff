#pragma once
// Pure rules of stream opening, kept apart so they are tested without a device.

#include <chrono>
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

// How long a stream that has called back may then stay silent before it
// counts as lost: several buffer periods, and never less than what a loaded
// machine's scheduler may take.
std::chrono::milliseconds silenceLimit(std::int32_t framesPerBuffer, std::int32_t sampleRate);

// The wait before the next attempt to open after `failures` failed ones in a
// row. Each attempt scans the devices afresh (tens to hundreds of
// milliseconds, and a little memory inside the audio libraries), so the
// attempts thin out, but to no more than half a second apart: a device or
// server that returns plays again within about a second.
std::chrono::milliseconds retryDelay(int failures);
inline constexpr std::chrono::milliseconds kFirstRetry{50};

}  // namespace velmora
