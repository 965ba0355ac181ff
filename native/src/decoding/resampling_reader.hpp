#pragma once
// Reads an audio file (see FrameReader) and hands out interleaved float
// frames at a chosen rate, resampled on the fly by libsoxr, every sample
// finite and bounded. Its own buffers are allocated at open(); seek and a
// change of output rate recreate the resampler, and FFmpeg's decoders
// allocate as they decode.

#include <soxr.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoding/frame_reader.hpp"

namespace velmora {

class ResamplingReader {
  public:
    ResamplingReader() = default;
    ~ResamplingReader();
    ResamplingReader(ResamplingReader&& other) noexcept;
    ResamplingReader& operator=(ResamplingReader&& other) noexcept;
    ResamplingReader(const ResamplingReader&) = delete;
    ResamplingReader& operator=(const ResamplingReader&) = delete;

    // Opens `path` (UTF-8) for reading at `outputRate` frames per second.
    // Any previously open file is closed first.
    bool open(const std::string& path, std::int32_t outputRate);
    // The same over a reader already open.
    bool open(std::unique_ptr<FrameReader> file, std::int32_t outputRate);
    void close() noexcept;

    bool isOpen() const noexcept { return file_ != nullptr; }
    std::int32_t channels() const noexcept { return channels_; }
    std::int32_t outputRate() const noexcept { return outputRate_; }
    std::int32_t fileRate() const noexcept { return fileRate_; }
    // Length at the output rate; 0 when the file does not say.
    std::uint64_t lengthFrames() const noexcept { return lengthFrames_; }
    // Next frame read() will deliver, at the output rate.
    std::uint64_t position() const noexcept { return position_; }
    bool readError() const noexcept { return readError_; }

    // Fills up to `frames` frames into `dst` (frames × channels floats).
    // Returns the frames delivered; 0 at the end or after a read error.
    std::size_t read(float* dst, std::size_t frames);

    // Moves to `frame` (output rate). False when the file cannot seek: reads
    // then go on from position(), or deliver nothing after a read error.
    bool seek(std::uint64_t frame);

    // Switches to another output rate, keeping the file open, and moves to
    // `frame` at that rate. On failure reads fail until the next good seek.
    bool setOutputRate(std::int32_t outputRate, std::uint64_t frame);

  private:
    bool resetResampler();
    bool allocateInput();
    std::size_t readResampled(float* dst, std::size_t frames);
    bool fillInput();

    std::unique_ptr<FrameReader> file_;
    soxr_t soxr_ = nullptr;
    std::int32_t channels_ = 0;
    std::int32_t fileRate_ = 0;
    std::int32_t outputRate_ = 0;
    std::uint64_t fileFrames_ = 0;  // 0 when unknown
    std::uint64_t lengthFrames_ = 0;
    std::uint64_t position_ = 0;
    bool readError_ = false;
    bool inputEnded_ = false;
    bool drained_ = false;

    std::vector<float> input_;  // file frames awaiting the resampler
    std::size_t inputFrames_ = 0;
    std::size_t inputPos_ = 0;
};

}  // namespace velmora
