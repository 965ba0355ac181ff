#include "decoding/decode_chain.hpp"

#include "decoding/library_decoder.hpp"
#include "decoding/media_framework_decoder.hpp"
#include "decoding/media_input.hpp"
#include "decoding/messages.hpp"
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

namespace {

// Each decoder once, in the order that is fastest for the format. A failure
// reports the library decoder's reason, the one callers know how to read.
PcmBufferPtr decodeFile(const std::string& path, std::string& message) {
    // One look at the path for all of them: the system would cut it at a NUL
    // byte and open another file, and a FIFO, socket or device would block.
    if (path.find('\0') != std::string::npos || platform::isSpecialFile(path)) {
        message = std::string(messages::kLibraryInitFailed) + platform::kNotRegularFileText;
        return nullptr;
    }
    const bool mediaFirst = decodesFasterWithMediaFramework(lowercaseExtension(path));
    std::string mediaMessage;
    if (mediaFirst) {
        if (PcmBufferPtr buffer = decodeWithMediaFramework(path, mediaMessage)) return buffer;
    }
    if (PcmBufferPtr buffer = decodeWithLibrary(path, message)) {
        message.clear();
        return buffer;
    }
    if (!mediaFirst) {
        if (PcmBufferPtr buffer = decodeWithMediaFramework(path, mediaMessage)) {
            message.clear();
            return buffer;
        }
    }
    return nullptr;
}

}  // namespace

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
    PcmBufferPtr buffer = decodeFile(track.path, message);
    if (!buffer) return nullptr;

    if (!track.path.empty()) cache.insert(track.path, buffer, forPlayback, file);
    return buffer;
}

}  // namespace velmora
