#include "decoding/frame_reader.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "decoding/library_decoder.hpp"
#include "decoding/media_audio_decoder.hpp"
#include "platform/file_system.hpp"

namespace velmora {

namespace {

class LibraryFrameReader final : public FrameReader {
  public:
    LibraryFrameReader(SNDFILE* file, const SF_INFO& info) : file_(file), info_(info) {}
    ~LibraryFrameReader() override { sf_close(file_); }

    std::int32_t channels() const noexcept override { return info_.channels; }
    std::int32_t sampleRate() const noexcept override { return info_.samplerate; }
    std::uint64_t lengthFrames() const noexcept override {
        // Some containers report no length or a sentinel maximum.
        return info_.frames > 0 && info_.frames < std::numeric_limits<sf_count_t>::max()
                   ? static_cast<std::uint64_t>(info_.frames)
                   : 0;
    }

    std::size_t read(float* destination, std::size_t frames) override {
        const sf_count_t got = sf_readf_float(file_, destination, static_cast<sf_count_t>(frames));
        if (got < 0 ||
            (static_cast<std::size_t>(got) < frames && sf_error(file_) != SF_ERR_NO_ERROR))
            failed_ = true;
        return got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    bool failed() const noexcept override { return failed_; }

    bool seek(std::uint64_t frame) override {
        if (frame > static_cast<std::uint64_t>(std::numeric_limits<sf_count_t>::max()))
            return false;
        if (sf_seek(file_, static_cast<sf_count_t>(frame), SEEK_SET) < 0) return false;
        failed_ = false;
        return true;
    }

  private:
    SNDFILE* file_;
    SF_INFO info_;
    bool failed_ = false;
};

// FFmpeg's decoder behind the same interface. Decoded frames wait in
// `pending_` until read; a seek lands a little early and drops frames up to
// the target, so positions are exact wherever the decoder stamps its frames.
class MediaFrameReader final : public FrameReader {
  public:
    bool open(const std::string& path) {
        std::string message;
        // The first frame fixes the output format; the second, where
        // positions count from (see seek).
        if (!decoder_.open(path, message)) return false;
        bool more = decoder_.decodeMore(pending_, message);
        while (more && !decoder_.positionsSettled()) more = decoder_.decodeMore(pending_, message);
        if (!message.empty() || pending_.empty()) return false;
        ended_ = !more;
        channels_ = decoder_.channels();
        sampleRate_ = decoder_.sampleRate();
        lengthFrames_ = decoder_.statedFrames();
        return channels_ > 0 && sampleRate_ > 0;
    }

    std::int32_t channels() const noexcept override { return channels_; }
    std::int32_t sampleRate() const noexcept override { return sampleRate_; }
    std::uint64_t lengthFrames() const noexcept override { return lengthFrames_; }

    std::size_t read(float* destination, std::size_t frames) override {
        const std::size_t ch = static_cast<std::size_t>(channels_);
        std::size_t done = 0;
        while (done < frames && !failed_) {
            if (silenceFrames_ > 0) {
                const std::size_t n = static_cast<std::size_t>(
                    std::min<std::uint64_t>(silenceFrames_, frames - done));
                std::memset(destination + done * ch, 0, n * ch * sizeof(float));
                silenceFrames_ -= n;
                done += n;
                continue;
            }
            if (pendingAt_ == pending_.size()) {
                if (ended_ || !refill()) break;
                continue;
            }
            const std::size_t n = std::min((pending_.size() - pendingAt_) / ch, frames - done);
            std::memcpy(destination + done * ch, pending_.data() + pendingAt_,
                        n * ch * sizeof(float));
            pendingAt_ += n * ch;
            done += n;
        }
        return done;
    }
    bool failed() const noexcept override { return failed_; }

    bool seek(std::uint64_t frame) override {
        if (!decoder_.seekBefore(frame)) return false;
        pending_.clear();
        pendingAt_ = 0;
        silenceFrames_ = 0;
        ended_ = failed_ = false;
        // Drops what lies before the target; without time stamps the landing
        // point is unknown, and the stream cannot go on at a known place.
        for (;;) {
            if (!refill()) return !failed_;  // the target is past the end: nothing more to read
            const std::optional<std::int64_t> at = decoder_.lastPosition();
            if (!at) {
                failed_ = true;
                return false;
            }
            const auto target =
                static_cast<std::int64_t>(std::min<std::uint64_t>(frame, INT64_MAX));
            const std::int64_t frames =
                static_cast<std::int64_t>(pending_.size() / static_cast<std::size_t>(channels_));
            if (*at + frames <= target) {
                pending_.clear();
                continue;
            }
            if (*at <= target) {
                pendingAt_ =
                    static_cast<std::size_t>(target - *at) * static_cast<std::size_t>(channels_);
            } else {
                // Landed past the target (no earlier point to seek to): the
                // gap plays as silence, so positions still hold.
                silenceFrames_ = static_cast<std::uint64_t>(*at - target);
            }
            return true;
        }
    }

  private:
    // Replaces the pending frames with the next decoded ones. False at the end or on a failure.
    bool refill() {
        pending_.clear();
        pendingAt_ = 0;
        std::string message;
        if (decoder_.decodeMore(pending_, message)) return true;
        ended_ = true;
        failed_ = !message.empty();
        return false;
    }

    MediaAudioDecoder decoder_;
    std::vector<float> pending_;
    std::size_t pendingAt_ = 0;
    std::uint64_t silenceFrames_ = 0;
    std::int32_t channels_ = 0;
    std::int32_t sampleRate_ = 0;
    std::uint64_t lengthFrames_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<FrameReader> openFrameReader(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos || platform::isSpecialFile(path))
        return nullptr;
    SF_INFO info{};
    if (SNDFILE* file = sf_open(libraryFileName(path).c_str(), SFM_READ, &info))
        return std::make_unique<LibraryFrameReader>(file, info);
    auto reader = std::make_unique<MediaFrameReader>();
    if (!reader->open(path)) return nullptr;
    return reader;
}

}  // namespace velmora
