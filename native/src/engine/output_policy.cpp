#include "engine/output_policy.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

#include "engine/engine_config.hpp"

namespace velmora {

std::optional<std::int32_t> parseDeviceIndex(const std::string& deviceId) {
    const char* begin = deviceId.c_str();
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE) return std::nullopt;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::int32_t chooseAsioBufferSize(std::int32_t requested, const AsioBufferSizes& sizes) {
    const long request = std::max<long>(requested, 1);
    long result = request;
    if (sizes.ok && sizes.minSize > 0 && sizes.maxSize >= sizes.minSize) {
        const long q = std::clamp(request, sizes.minSize, sizes.maxSize);
        const long g = sizes.granularity;
        if (g == -1) {
            long v = sizes.minSize;
            while (v < q && v < sizes.maxSize) v *= 2;
            result = std::clamp(v, sizes.minSize, sizes.maxSize);
        } else if (g > 0) {
            const long v = sizes.minSize + ((q - sizes.minSize + g - 1) / g) * g;
            result = std::clamp(v, sizes.minSize, sizes.maxSize);
        } else {
            result = q;
        }
    }
    result = std::max<long>(result, 1);
    return static_cast<std::int32_t>(std::min<long>(result, std::numeric_limits<std::int32_t>::max()));
}

std::chrono::milliseconds silenceLimit(std::int32_t framesPerBuffer, std::int32_t sampleRate) {
    const std::int64_t periodsUs =
        8LL * std::max(framesPerBuffer, 1) * 1'000'000 / std::max(sampleRate, kMinSampleRate);
    return std::max(std::chrono::milliseconds(300), std::chrono::milliseconds(periodsUs / 1000));
}

std::chrono::milliseconds retryDelay(int failures) {
    return std::min(std::chrono::milliseconds(500), kFirstRetry * (1 << std::clamp(failures, 0, 4)));
}

}  // namespace velmora
