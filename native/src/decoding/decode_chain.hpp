#pragma once
// Whole-track decoding: the library decoders first, the system's fallback
// decoder second, with the track cache in front.

#include <string>

#include "decoding/pcm_buffer.hpp"
#include "decoding/track_cache.hpp"
#include "decoding/track_descriptor.hpp"

namespace velmora {

// Tracks at least this long, or files at least this large, are streamed.
inline constexpr double kStreamMinDurationSeconds = 480.0;
inline constexpr std::uint64_t kStreamMinFileBytes = 25'165'824;  // 24 MiB

// True for a declared `duration` of at least 480 s, a file of at least
// 24 MiB, or a file whose header states at least 480 s.
bool shouldStreamTrack(const TrackDescriptor& track);

// The cached decode of the track's file while that file is the one decoded
// (or cannot be reached); null otherwise. Reads only the file's status.
PcmBufferPtr findCachedTrack(TrackCache& cache, const TrackDescriptor& track, bool forPlayback);

// Null with `message` set on failure; `message` empty on success.
PcmBufferPtr decodeTrack(TrackCache& cache, const TrackDescriptor& track, bool forPlayback,
                         std::string& message);

}  // namespace velmora
