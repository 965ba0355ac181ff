#pragma once
// The decoder the chain falls back on when the library decoder refuses a file
// (AAC, ALAC, WMA): the system's own media framework. Windows: Media
// Foundation's source reader. Elsewhere: FFmpeg (the media decoder).

#include <string>

#include "decoding/pcm_buffer.hpp"

namespace velmora {

// The file's first audio stream as interleaved float at its own rate and
// channel count. Null with `message` set on failure.
PcmBufferPtr decodeWithFallback(const std::string& path, std::string& message);

// Whether the fallback is worth trying after the media decoder already
// failed on the file (it is another decoder only on Windows).
bool fallbackDiffersFromMediaDecoder();

}  // namespace velmora
