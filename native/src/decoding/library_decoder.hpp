#pragma once
// The first decoder tried for a whole track (libsndfile, FLAC straight through
// libFLAC): WAV, AIFF, FLAC, Ogg Vorbis, Opus and most MP3 files.

#include <string>
#include <vector>

#include "decoding/pcm_buffer.hpp"

namespace velmora {

// Null with `message` set on failure; `message` untouched on success.
PcmBufferPtr decodeWithLibrary(const std::string& path, std::string& message);

// Bytes after the last '.' of the path, ASCII letters lowered; empty without a '.'.
std::string lowercaseExtension(const std::string& path);

// The path as libsndfile must be given it to open that file: it reads stdin
// for "-".
std::string libraryFileName(const std::string& path);

}  // namespace velmora
