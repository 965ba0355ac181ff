#pragma once
// The first audio stream of a file, decoded through FFmpeg to interleaved
// float in the channel layout and rate of its first frame (later frames in
// another layout or rate are converted to it). Shared by the whole-track
// fallback decoder and the streaming reader.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "decoding/media_input.hpp"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVStream;

namespace velmora {

class MediaAudioDecoder {
  public:
    MediaAudioDecoder();
    ~MediaAudioDecoder();
    MediaAudioDecoder(const MediaAudioDecoder&) = delete;
    MediaAudioDecoder& operator=(const MediaAudioDecoder&) = delete;

    // Opens the file's first audio stream and its codec. False with `message` set.
    bool open(const std::string& path, std::string& message);

    // Appends the samples of the next decoded frames to `samples`. False at
    // the end of the data, with `message` empty, or on a failure, with
    // `message` set. Packets the codec refuses are skipped, as FFmpeg's
    // command-line tool does; the end of a stream of which nothing decoded is
    // a failure.
    bool decodeMore(std::vector<float>& samples, std::string& message);

    // Output format, known once a frame has been decoded.
    int sampleRate() const noexcept;
    int channels() const noexcept;

    // The length the container states, in output frames; 0 when unknown.
    std::uint64_t statedFrames() const noexcept;
    // Frames of the stream's own rate the container states, for sizing
    // before the first frame; 0 when unknown.
    std::uint64_t statedSamplesHint() const noexcept;
    std::int64_t fileBytes() const noexcept { return input_.fileBytes(); }

    // Where the samples the last decodeMore appended start, in output frames
    // from the first frame of the stream; nullopt when the decoder gave that
    // frame no time stamp.
    std::optional<std::int64_t> lastPosition() const noexcept { return lastPosition_; }
    // Whether the second frame, where positions count from, was decoded.
    bool positionsSettled() const noexcept { return originPts_ || originUnknown_; }

    // Moves the demuxer to a point at or shortly before `frame` (output
    // frames from the first frame), with enough lead for the codec to settle.
    // False when the file cannot seek; the stream then goes on unchanged.
    bool seekBefore(std::uint64_t frame);

  private:
    class Converter;
    bool receive(std::vector<float>& samples, bool& appended, std::string& message);
    // Output frames from the first frame to a frame stamped `pts`.
    std::optional<std::int64_t> positionOf(std::int64_t pts) const;

    MediaInput input_;
    AVStream* stream_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    std::unique_ptr<Converter> converter_;
    bool flushed_ = false;  // the codec was told the data ended
    bool ended_ = false;
    bool drained_ = false;
    bool decodedAny_ = false;
    int firstRefusal_ = 0;
    std::int64_t firstFrames_ = 0;           // output frames of the first decoded frame
    std::optional<std::int64_t> originPts_;  // the second frame's, in the stream's time base
    bool originUnknown_ = false;             // the second frame had no time stamp
    std::optional<std::int64_t> lastPosition_;
};

std::string mediaErrorText(int code);

}  // namespace velmora
