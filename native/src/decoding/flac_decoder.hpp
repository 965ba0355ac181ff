#pragma once
// FLAC through libFLAC itself, for the library decoder stage: the frames are
// scaled to float as they arrive instead of in a second pass. Only clean,
// complete streams are taken; anything else is left to libsndfile, so damaged
// files decode and fail as they always did.

#include <cstdint>
#include <string>

#include "decoding/pcm_buffer.hpp"

namespace velmora {

// Null when libFLAC reports any problem or the stream is not what its header
// states; the caller then decodes the file another way.
PcmBufferPtr decodeFlacStream(const std::string& path, std::uint64_t fileBytes);

}  // namespace velmora
