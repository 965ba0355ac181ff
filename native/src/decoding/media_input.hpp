#pragma once
// FFmpeg's demuxer over a file the engine opened itself. The path never
// reaches FFmpeg's URL layer ("pipe:0", "http://host/x" or "concat:a|b" are
// file names like any other), and a demuxer may not open anything further
// (playlists, references to other files): a track is one local file.

#include <string>

#include "platform/file_system.hpp"

struct AVFormatContext;
struct AVIOContext;

namespace velmora {

class MediaInput {
  public:
    MediaInput() = default;
    ~MediaInput();
    MediaInput(const MediaInput&) = delete;
    MediaInput& operator=(const MediaInput&) = delete;

    // 0, or an FFmpeg error code (a system error as AVERROR(errno)).
    int open(const std::string& path);
    AVFormatContext* format() const noexcept { return format_; }
    // File size in bytes; negative when unknown.
    std::int64_t fileBytes() const noexcept { return file_.size(); }

  private:
    static int readPacket(void* opaque, unsigned char* buffer, int size);
    static std::int64_t seekTo(void* opaque, std::int64_t offset, int whence);

    platform::ReadableFile file_;
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
};

// The track length its header states, in seconds (0 when it states none):
// libsndfile's frame count, else FFmpeg's stream or container duration, else,
// for a raw stream without a header, FFmpeg's estimate from the bit rate of
// its first packets. Fast enough for the script thread: it reads headers and
// decodes nothing (but the few packets of that estimate).
double statedDurationSeconds(const std::string& path);

}  // namespace velmora
