#pragma once
// The media decoder for a whole track (FFmpeg): the chain's first try for the
// formats it decodes fastest, and outside Windows its fallback for what the
// library decoder refuses, such as AAC, ALAC and WMA.

#include <string>

#include "decoding/pcm_buffer.hpp"

namespace velmora {

// The file's first audio stream as interleaved float at the rate and channel
// count of its first decoded frame. Null with `message` set on failure.
PcmBufferPtr decodeWithMediaFramework(const std::string& path, std::string& message);

}  // namespace velmora
