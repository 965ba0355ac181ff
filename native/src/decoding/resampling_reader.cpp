#include "decoding/resampling_reader.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "decoding/sample_bounds.hpp"

namespace velmora {
namespace {

constexpr std::size_t kInputChunkFrames = 4096;
// The decoders accept more, but nothing we play has more channels than this,
// and it bounds the buffers.
constexpr int kMaxChannels = 64;

// frames × to / from, rounded to nearest, without overflow.
std::uint64_t convertFrames(std::uint64_t frames, std::int64_t from, std::int64_t to) {
    const unsigned __int128 scaled =
        static_cast<unsigned __int128>(frames) * static_cast<unsigned __int128>(to) +
        static_cast<unsigned __int128>(from / 2);
    const unsigned __int128 result = scaled / static_cast<unsigned __int128>(from);
    const auto cap = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::uint64_t>(std::min(result, cap));
}

}  // namespace

ResamplingReader::~ResamplingReader() {
    close();
}

ResamplingReader::ResamplingReader(ResamplingReader&& other) noexcept {
    *this = std::move(other);
}

ResamplingReader& ResamplingReader::operator=(ResamplingReader&& other) noexcept {
    if (this == &other) return *this;
    close();
    file_ = std::move(other.file_);
    soxr_ = std::exchange(other.soxr_, nullptr);
    channels_ = std::exchange(other.channels_, 0);
    fileRate_ = std::exchange(other.fileRate_, 0);
    outputRate_ = std::exchange(other.outputRate_, 0);
    fileFrames_ = std::exchange(other.fileFrames_, 0);
    lengthFrames_ = std::exchange(other.lengthFrames_, 0);
    position_ = std::exchange(other.position_, 0);
    readError_ = std::exchange(other.readError_, false);
    inputEnded_ = std::exchange(other.inputEnded_, false);
    drained_ = std::exchange(other.drained_, false);
    input_ = std::move(other.input_);
    other.input_.clear();
    inputFrames_ = std::exchange(other.inputFrames_, 0);
    inputPos_ = std::exchange(other.inputPos_, 0);
    return *this;
}

void ResamplingReader::close() noexcept {
    if (soxr_ != nullptr) soxr_delete(soxr_);
    soxr_ = nullptr;
    file_.reset();
    channels_ = fileRate_ = outputRate_ = 0;
    fileFrames_ = lengthFrames_ = position_ = 0;
    readError_ = inputEnded_ = drained_ = false;
    input_.clear();
    input_.shrink_to_fit();
    inputFrames_ = inputPos_ = 0;
}

bool ResamplingReader::open(const std::string& path, std::int32_t outputRate) {
    close();
    if (outputRate <= 0) return false;
    return open(openFrameReader(path), outputRate);
}

bool ResamplingReader::open(std::unique_ptr<FrameReader> file, std::int32_t outputRate) {
    close();
    if (outputRate <= 0 || !file) return false;
    if (file->channels() < 1 || file->channels() > kMaxChannels || file->sampleRate() < 1)
        return false;
    channels_ = file->channels();
    fileRate_ = file->sampleRate();
    outputRate_ = outputRate;
    fileFrames_ = file->lengthFrames();
    lengthFrames_ = fileFrames_ > 0 ? convertFrames(fileFrames_, fileRate_, outputRate_) : 0;
    file_ = std::move(file);
    if (fileRate_ != outputRate_ && !(allocateInput() && resetResampler())) {
        close();
        return false;
    }
    return true;
}

bool ResamplingReader::allocateInput() {
    if (!input_.empty()) return true;
    try {
        input_.assign(kInputChunkFrames * static_cast<std::size_t>(channels_), 0.0f);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool ResamplingReader::setOutputRate(std::int32_t outputRate, std::uint64_t frame) {
    if (file_ == nullptr || outputRate <= 0) return false;
    outputRate_ = outputRate;
    lengthFrames_ = fileFrames_ > 0 ? convertFrames(fileFrames_, fileRate_, outputRate_) : 0;
    if (soxr_ != nullptr) soxr_delete(soxr_);
    soxr_ = nullptr;
    // seek() builds the resampler for the new ratio. Until a seek succeeds
    // no frame may come out at the wrong rate.
    if ((fileRate_ != outputRate_ && !allocateInput()) || !seek(frame)) {
        readError_ = true;
        return false;
    }
    return true;
}

bool ResamplingReader::resetResampler() {
    if (soxr_ != nullptr) soxr_delete(soxr_);
    soxr_ = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    soxr_ = soxr_create(fileRate_, outputRate_, static_cast<unsigned>(channels_), &error, &io,
                        &quality, nullptr);
    inputFrames_ = inputPos_ = 0;
    inputEnded_ = drained_ = false;
    return error == nullptr && soxr_ != nullptr;
}

bool ResamplingReader::fillInput() {
    const std::size_t got = file_->read(input_.data(), kInputChunkFrames);
    if (got == 0) {
        inputEnded_ = true;
        if (file_->failed()) readError_ = true;
        return false;
    }
    inputFrames_ = got;
    inputPos_ = 0;
    return true;
}

std::size_t ResamplingReader::readResampled(float* dst, std::size_t frames) {
    const std::size_t ch = static_cast<std::size_t>(channels_);
    std::size_t produced = 0;
    while (produced < frames && !drained_) {
        if (inputPos_ == inputFrames_ && !inputEnded_) {
            fillInput();
            if (readError_) return produced;
        }
        std::size_t used = 0;
        std::size_t made = 0;
        soxr_error_t error = nullptr;
        if (inputPos_ < inputFrames_) {
            error = soxr_process(soxr_, input_.data() + inputPos_ * ch, inputFrames_ - inputPos_,
                                 &used, dst + produced * ch, frames - produced, &made);
        } else {
            // End of input: flush what the filter still holds.
            error = soxr_process(soxr_, nullptr, 0, nullptr, dst + produced * ch, frames - produced,
                                 &made);
            if (made == 0) drained_ = true;
        }
        if (error != nullptr) {
            readError_ = true;
            return produced;
        }
        if (used == 0 && made == 0 && inputPos_ < inputFrames_) {
            readError_ = true;  // a stalled resampler would spin forever
            return produced;
        }
        inputPos_ += used;
        produced += made;
    }
    return produced;
}

std::size_t ResamplingReader::read(float* dst, std::size_t frames) {
    if (file_ == nullptr || dst == nullptr || readError_ || frames == 0) return 0;
    // Never deliver past the announced length, so callers can rely on it.
    if (lengthFrames_ > 0) {
        if (position_ >= lengthFrames_) return 0;
        frames =
            static_cast<std::size_t>(std::min<std::uint64_t>(frames, lengthFrames_ - position_));
    }
    std::size_t produced = 0;
    if (soxr_ == nullptr) {
        produced = file_->read(dst, frames);
        if (file_->failed()) readError_ = true;
    } else {
        produced = readResampled(dst, frames);
        // The resampler may come up a frame or two short of the rounded
        // length; pad with silence so the announced length holds. A file
        // much shorter than its header's estimate (FFmpeg's for some raw
        // streams) just ends.
        constexpr std::uint64_t kMaxPadFrames = 64;
        if (produced < frames && drained_ && !readError_ && lengthFrames_ > 0 &&
            lengthFrames_ - position_ - produced <= kMaxPadFrames) {
            const std::size_t ch = static_cast<std::size_t>(channels_);
            std::memset(dst + produced * ch, 0, (frames - produced) * ch * sizeof(float));
            produced = frames;
        }
    }
    boundDecodedSamples(dst, produced * static_cast<std::size_t>(channels_));
    position_ += produced;
    return produced;
}

bool ResamplingReader::seek(std::uint64_t frame) {
    if (file_ == nullptr) return false;
    if (lengthFrames_ > 0) frame = std::min(frame, lengthFrames_);
    const bool resampled = fileRate_ != outputRate_;
    const std::uint64_t fileFrame =
        !resampled ? frame
                   : static_cast<std::uint64_t>(static_cast<unsigned __int128>(frame) *
                                                static_cast<unsigned>(fileRate_) /
                                                static_cast<unsigned>(outputRate_));
    // A refused seek leaves the file, the resampler and position_ as they
    // were, so reads go on where they would have.
    if (!file_->seek(fileFrame)) {
        if (file_->failed()) readError_ = true;
        return false;
    }
    readError_ = false;
    if (resampled && !resetResampler()) {
        readError_ = true;
        return false;
    }
    position_ = frame;
    return true;
}

}  // namespace velmora
