#include "engine/output_policy.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

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

}  // namespace velmora
