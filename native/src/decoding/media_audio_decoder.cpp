#include "decoding/media_audio_decoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

#include <algorithm>

#include "decoding/messages.hpp"

namespace velmora {

namespace {

// A codec that fails this many frames in a row without taking new data is
// not going to decode any more of it.
constexpr int kMaxConsecutiveFailures = 64;

struct SwrFree {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

}  // namespace

std::string mediaErrorText(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof buffer);
    return buffer;
}

// Converts decoded frames to interleaved float in the first frame's layout and
// rate, rebuilding the converter when the decoder changes its parameters.
class MediaAudioDecoder::Converter {
  public:
    Converter() = default;
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    ~Converter() {
        av_channel_layout_uninit(&outLayout_);
        av_channel_layout_uninit(&inLayout_);
    }

    bool add(AVFrame& frame, std::vector<float>& samples, std::string& message) {
        if (frame.sample_rate <= 0 || frame.ch_layout.nb_channels <= 0) {
            message = messages::kMediaInvalidFormat;
            return false;
        }
        if (outRate_ == 0) {
            if (av_channel_layout_copy(&outLayout_, &frame.ch_layout) < 0) {
                message = messages::kMediaOutOfMemory;
                return false;
            }
            outRate_ = frame.sample_rate;
        } else if (swr_ && (frame.sample_rate != inRate_ || frame.format != inFormat_ ||
                            av_channel_layout_compare(&frame.ch_layout, &inLayout_) != 0)) {
            if (!drain(samples, message)) return false;
            swr_.reset();
        }
        if (!swr_ && !configure(frame, message)) return false;
        return convert(const_cast<const uint8_t**>(frame.extended_data), frame.nb_samples, samples,
                       message);
    }

    // Hands out what the converter still holds.
    bool drain(std::vector<float>& samples, std::string& message) {
        return !swr_ || convert(nullptr, 0, samples, message);
    }

    // Forgets the converter's state (after a seek); the output format stays.
    void reset() { swr_.reset(); }

    int sampleRate() const { return outRate_; }
    int channels() const { return outLayout_.nb_channels; }

  private:
    bool configure(AVFrame& frame, std::string& message) {
        SwrContext* raw = nullptr;
        int result = swr_alloc_set_opts2(
            &raw, &outLayout_, AV_SAMPLE_FMT_FLT, outRate_, &frame.ch_layout,
            static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
        swr_.reset(raw);
        if (result >= 0) result = swr_init(swr_.get());
        if (result < 0) {
            message = messages::kMediaConvertFailed + mediaErrorText(result);
            swr_.reset();
            return false;
        }
        av_channel_layout_uninit(&inLayout_);
        if (av_channel_layout_copy(&inLayout_, &frame.ch_layout) < 0) {
            message = messages::kMediaOutOfMemory;
            return false;
        }
        inRate_ = frame.sample_rate;
        inFormat_ = frame.format;
        return true;
    }

    bool convert(const uint8_t** input, int inputFrames, std::vector<float>& samples,
                 std::string& message) {
        const int capacity = swr_get_out_samples(swr_.get(), inputFrames);
        if (capacity < 0) {
            message = messages::kMediaConvertFailed + mediaErrorText(capacity);
            return false;
        }
        const std::size_t channels = static_cast<std::size_t>(outLayout_.nb_channels);
        const std::size_t offset = samples.size();
        samples.resize(offset + static_cast<std::size_t>(capacity) * channels);
        uint8_t* output = reinterpret_cast<uint8_t*>(samples.data() + offset);
        const int got = swr_convert(swr_.get(), &output, capacity, input, inputFrames);
        if (got < 0) {
            samples.resize(offset);
            message = messages::kMediaConvertFailed + mediaErrorText(got);
            return false;
        }
        samples.resize(offset + static_cast<std::size_t>(got) * channels);
        return true;
    }

    std::unique_ptr<SwrContext, SwrFree> swr_;
    AVChannelLayout outLayout_{};
    AVChannelLayout inLayout_{};
    int outRate_ = 0;
    int inRate_ = 0;
    int inFormat_ = -1;
};

MediaAudioDecoder::MediaAudioDecoder() : converter_(std::make_unique<Converter>()) {}

MediaAudioDecoder::~MediaAudioDecoder() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
}

int MediaAudioDecoder::sampleRate() const noexcept {
    return converter_->sampleRate();
}

int MediaAudioDecoder::channels() const noexcept {
    return converter_->channels();
}

bool MediaAudioDecoder::open(const std::string& path, std::string& message) {
    // The input refuses a FIFO, socket or device without opening it.
    int result = input_.open(path);
    if (result < 0) {
        message = messages::kMediaOpenFailed + mediaErrorText(result);
        return false;
    }
    AVFormatContext* format = input_.format();
    result = avformat_find_stream_info(format, nullptr);
    if (result < 0) {
        message = messages::kMediaStreamInfoFailed + mediaErrorText(result);
        return false;
    }
    for (unsigned i = 0; i < format->nb_streams && !stream_; ++i)
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            stream_ = format->streams[i];
    if (!stream_) {
        message = messages::kMediaNoAudioStream;
        return false;
    }
    // Only the audio stream is read; the rest (cover art, video) is skipped.
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (format->streams[i] != stream_) format->streams[i]->discard = AVDISCARD_ALL;

    const AVCodec* decoder = avcodec_find_decoder(stream_->codecpar->codec_id);
    if (!decoder) {
        message = messages::kMediaNoDecoder;
        return false;
    }
    codec_ = avcodec_alloc_context3(decoder);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!codec_ || !packet_ || !frame_) {
        message = messages::kMediaOutOfMemory;
        return false;
    }
    result = avcodec_parameters_to_context(codec_, stream_->codecpar);
    codec_->pkt_timebase = stream_->time_base;
    if (result >= 0) result = avcodec_open2(codec_, decoder, nullptr);
    if (result < 0) {
        message = messages::kMediaDecoderInitFailed + mediaErrorText(result);
        return false;
    }
    return true;
}

std::uint64_t MediaAudioDecoder::statedSamplesHint() const noexcept {
    const AVFormatContext* format = input_.format();
    if (!format || !codec_ || format->duration <= 0 || codec_->sample_rate <= 0 ||
        codec_->ch_layout.nb_channels <= 0)
        return 0;
    const double claimed =
        (static_cast<double>(format->duration) / AV_TIME_BASE * codec_->sample_rate + 8192.0) *
        codec_->ch_layout.nb_channels;
    return claimed > 0.0 && claimed < 9.0e15 ? static_cast<std::uint64_t>(claimed) : 0;
}

std::uint64_t MediaAudioDecoder::statedFrames() const noexcept {
    const int rate = sampleRate();
    if (!stream_ || rate <= 0) return 0;
    std::int64_t frames = 0;
    if (stream_->duration > 0 && stream_->time_base.num > 0)
        frames = av_rescale_q(stream_->duration, stream_->time_base, AVRational{1, rate});
    else if (input_.format()->duration > 0)
        frames = av_rescale_q(input_.format()->duration, AVRational{1, AV_TIME_BASE},
                              AVRational{1, rate});
    return frames > 0 ? static_cast<std::uint64_t>(frames) : 0;
}

std::optional<std::int64_t> MediaAudioDecoder::positionOf(std::int64_t pts) const {
    const int rate = sampleRate();
    if (!originPts_ || pts == AV_NOPTS_VALUE || rate <= 0) return std::nullopt;
    const AVRational frameTime{1, rate};
    return firstFrames_ +
           av_rescale_q_rnd(pts - *originPts_, stream_->time_base, frameTime, AV_ROUND_NEAR_INF);
}

bool MediaAudioDecoder::receive(std::vector<float>& samples, bool& appended, std::string& message) {
    for (int failures = 0;;) {
        const int result = avcodec_receive_frame(codec_, frame_);
        if (result == AVERROR(EAGAIN)) return true;
        if (result == AVERROR_EOF) {
            ended_ = true;
            return true;
        }
        if (result < 0) {
            // A frame the codec cannot decode is skipped.
            if (firstRefusal_ == 0) firstRefusal_ = result;
            if (++failures < kMaxConsecutiveFailures) continue;
            if (flushed_) ended_ = true;
            return true;
        }
        failures = 0;
        // Some decoders (MP3 in this FFmpeg) stamp a frame with the previous
        // frame's rate; the context has the rate of the frame just decoded.
        if (codec_->sample_rate > 0) frame_->sample_rate = codec_->sample_rate;
        // The time stamp the decoder moved past the samples it dropped at the
        // start (encoder delay); the guessed one is not moved.
        const std::int64_t pts =
            frame_->pts != AV_NOPTS_VALUE ? frame_->pts : frame_->best_effort_timestamp;
        const std::size_t before = samples.size();
        const bool converted = converter_->add(*frame_, samples, message);
        av_frame_unref(frame_);
        if (!converted) return false;
        if (samples.size() == before) continue;
        const auto frames = static_cast<std::int64_t>((samples.size() - before) /
                                                      static_cast<std::size_t>(channels()));
        // The first frame may have lost its start (the encoder's delay), and
        // not every decoder moves its time stamp along: positions count from
        // the second frame, which starts where the first one's samples end.
        std::optional<std::int64_t> position;
        if (!decodedAny_) {
            firstFrames_ = frames;
            position = 0;
        } else if (!originPts_ && !originUnknown_) {
            if (pts != AV_NOPTS_VALUE)
                originPts_ = pts;
            else
                originUnknown_ = true;
            position = positionOf(pts);
        } else {
            position = positionOf(pts);
        }
        if (!appended) lastPosition_ = position;
        appended = true;
        decodedAny_ = true;
    }
}

bool MediaAudioDecoder::decodeMore(std::vector<float>& samples, std::string& message) {
    message.clear();
    if (!codec_) return false;
    bool appended = false;
    while (!ended_) {
        if (!receive(samples, appended, message)) return false;
        if (appended) return true;
        if (ended_) break;
        if (flushed_) {
            ended_ = true;  // told the end and holding nothing more
            break;
        }
        // A read error other than the end is treated as the end: a truncated
        // file yields what could be decoded.
        if (av_read_frame(input_.format(), packet_) < 0) {
            avcodec_send_packet(codec_, nullptr);
            flushed_ = true;
            continue;
        }
        if (packet_->stream_index == stream_->index) {
            int sent = avcodec_send_packet(codec_, packet_);
            if (sent == AVERROR(EAGAIN)) {
                // The codec still holds frames: take them, then hand the packet over again.
                if (!receive(samples, appended, message)) {
                    av_packet_unref(packet_);
                    return false;
                }
                sent = avcodec_send_packet(codec_, packet_);
            }
            // A packet the codec refuses is skipped.
            if (sent < 0 && firstRefusal_ == 0) firstRefusal_ = sent;
        }
        av_packet_unref(packet_);
        if (appended) return true;
    }
    if (!drained_) {
        drained_ = true;
        const std::size_t before = samples.size();
        if (!converter_->drain(samples, message)) return false;
        if (samples.size() > before) {
            lastPosition_.reset();
            return true;
        }
    }
    if (!decodedAny_)
        message = firstRefusal_ != 0 ? messages::kMediaDecodeFailed + mediaErrorText(firstRefusal_)
                                     : messages::kMediaZeroFrames;
    return false;
}

bool MediaAudioDecoder::seekBefore(std::uint64_t frame) {
    const int rate = sampleRate();
    if (!codec_ || !originPts_ || rate <= 0) return false;
    const AVRational timeBase = stream_->time_base;
    // The codec's own pre-roll, and 100 ms for codecs whose first frame after
    // a jump still lacks what the frame before it would have given.
    const AVCodecParameters* parameters = stream_->codecpar;
    const std::int64_t lead =
        av_rescale_q(parameters->seek_preroll, AVRational{1, std::max(parameters->sample_rate, 1)},
                     timeBase) +
        av_rescale_q(1, AVRational{1, 10}, timeBase);
    const std::int64_t offset =
        av_rescale_q(static_cast<std::int64_t>(std::min<std::uint64_t>(frame, INT64_MAX / 2)),
                     AVRational{1, rate}, timeBase);
    const std::int64_t target = *originPts_ + offset - lead;
    int result = av_seek_frame(input_.format(), stream_->index, target, AVSEEK_FLAG_BACKWARD);
    // Nothing before the target (the first packets): the nearest point will do.
    if (result < 0)
        result =
            avformat_seek_file(input_.format(), stream_->index, INT64_MIN, target, INT64_MAX, 0);
    if (result < 0) return false;
    avcodec_flush_buffers(codec_);
    converter_->reset();
    flushed_ = ended_ = drained_ = false;
    return true;
}

}  // namespace velmora
