#pragma once
// The library decoder for a whole track (libsndfile, FLAC straight through
// libFLAC): WAV, AIFF, FLAC, Ogg Vorbis, Opus and most MP3 files. The decode
// chain tries it first, except for the formats below.

#include <string>
#include <vector>

#include "decoding/pcm_buffer.hpp"

namespace velmora {

// Null with `message` set on failure; `message` untouched on success. For a
// path the chain has checked: one with a NUL byte, or naming a FIFO, socket
// or device, would reach another file or block.
PcmBufferPtr decodeWithLibrary(const std::string& path, std::string& message);

// Formats that FFmpeg's decoders turn into float faster than libsndfile
// (about 2x for Vorbis, 1.2x for Opus, 1.1x for MP3 on x86-64): the chain
// tries the media decoder first for them, this one when it fails.
bool decodesFasterWithMediaFramework(const std::string& extension);

// Bytes after the last '.' of the path, ASCII letters lowered; empty without a '.'.
std::string lowercaseExtension(const std::string& path);

// The path as libsndfile must be given it to open that file: it reads stdin
// for "-".
std::string libraryFileName(const std::string& path);

}  // namespace velmora
