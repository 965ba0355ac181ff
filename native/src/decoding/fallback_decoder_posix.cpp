#include "decoding/fallback_decoder.hpp"

#include "decoding/media_framework_decoder.hpp"

namespace velmora {

PcmBufferPtr decodeWithFallback(const std::string& path, std::string& message) {
    return decodeWithMediaFramework(path, message);
}

bool fallbackDiffersFromMediaDecoder() {
    return false;
}

}  // namespace velmora
