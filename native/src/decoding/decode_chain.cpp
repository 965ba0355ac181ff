#include "decoding/decode_chain.hpp"

#include "decoding/library_decoder.hpp"
#include "decoding/media_framework_decoder.hpp"
#include "decoding/media_input.hpp"
#include "platform/file_system.hpp"

namespace velmora {

bool shouldStreamTrack(const TrackDescriptor& track) {
    if (track.duration >= kStreamMinDurationSeconds) return true;
    if (track.path.empty()) return false;
    const auto size = platform::fileSize(track.path);
    if (!size) return false;
    if (*size >= kStreamMinFileBytes) return true;
    // A compressed file holds a long track in few bytes: its header says so.
    return statedDurationSeconds(track.path) >= kStreamMinDurationSeconds;
}

PcmBufferPtr findCachedTrack(TrackCache& cache, const TrackDescriptor& track, bool forPlayback) {
    if (track.path.empty()) return nullptr;
    return cache.lookup(track.path, forPlayback, platform::fileStatus(track.path));
}

PcmBufferPtr decodeTrack(TrackCache& cache, const TrackDescriptor& track, bool forPlayback,
                         std::string& message) {
    message.clear();
    // Taken before decoding: a file that changes meanwhile is decoded again
    // by the next caller.
    const std::optional<platform::FileStatus> file =
        track.path.empty() ? std::nullopt : platform::fileStatus(track.path);
    if (!track.path.empty()) {
        if (auto cached = cache.lookup(track.path, forPlayback, file)) return cached;
    }

    // Decoding runs without the cache lock: two threads missing one path both
    // decode, and the later insert replaces the earlier.
    std::string libraryMessage;
    PcmBufferPtr buffer = decodeWithLibrary(track.path, libraryMessage);
    if (!buffer) {
        buffer = decodeWithMediaFramework(track.path, message);
        if (!buffer) {
            // The first decoder's reason is the one callers know how to read.
            if (!libraryMessage.empty()) message = libraryMessage;
            return nullptr;
        }
        message.clear();
    }

    if (!track.path.empty()) cache.insert(track.path, buffer, forPlayback, file);
    return buffer;
}

}  // namespace velmora
