#pragma once
// Float frames of one audio file at its own rate and channel count, read in
// order with seeks, for the streaming reader. libsndfile reads what it can;
// FFmpeg reads the rest (AAC, ALAC, WMA...), so every format a whole-track
// decode takes can also stream.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velmora {

class FrameReader {
  public:
    virtual ~FrameReader() = default;

    virtual std::int32_t channels() const noexcept = 0;
    virtual std::int32_t sampleRate() const noexcept = 0;
    // Length the file states; 0 when it states none.
    virtual std::uint64_t lengthFrames() const noexcept = 0;

    // Up to `frames` frames into `destination` (frames x channels floats);
    // fewer only at the end of the data or on an error (see failed()).
    virtual std::size_t read(float* destination, std::size_t frames) = 0;
    virtual bool failed() const noexcept = 0;

    // Makes the next read start at `frame`. False when the file cannot go
    // there: the reader then goes on from where it was, or, when it could
    // not keep even that, reports failed().
    virtual bool seek(std::uint64_t frame) = 0;
};

// libsndfile first, FFmpeg for what libsndfile does not read. Null when
// neither opens the file as audio.
std::unique_ptr<FrameReader> openFrameReader(const std::string& path);

}  // namespace velmora
