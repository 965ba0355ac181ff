#include "decoding/decode_chain.hpp"

#include "decoding/library_decoder.hpp"
#include "decoding/media_framework_decoder.hpp"
#include "platform/file_system.hpp"

namespace velmora {

bool shouldStreamTrack(const TrackDescriptor& track) {
    if (track.duration >= kStreamMinDurationSeconds) return true;
    if (track.path.empty()) return false;
    const auto size = platform::fileSize(track.path);
    return size && *size >= kStreamMinFileBytes;
}

PcmBufferPtr decodeTrack(TrackCache& cache, const TrackDescriptor& track, bool forPlayback,
                         std::string& message) {
    message.clear();
    if (!track.path.empty()) {
        if (auto cached = cache.lookup(track.path, forPlayback)) return cached;
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

    if (!track.path.empty()) cache.insert(track.path, buffer, forPlayback);
    return buffer;
}

}  // namespace velmora
