#include "decoding/media_framework_decoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <memory>
#include <new>
#include <mutex>

#include "platform/file_system.hpp"

namespace velmora {

namespace {

namespace text {
constexpr const char* kOpenFailed = "media decoder could not open the file: ";
constexpr const char* kStreamInfoFailed = "media decoder could not read the stream info: ";
constexpr const char* kNoAudioStream = "media decoder found no audio stream.";
constexpr const char* kNoDecoder = "media decoder has no codec for the audio stream.";
constexpr const char* kDecoderInitFailed = "media decoder could not open the codec: ";
constexpr const char* kInvalidFormat =
    "media decoder returned an invalid sample rate or channel count.";
constexpr const char* kConvertFailed = "media decoder sample conversion failed: ";
constexpr const char* kDecodeFailed = "media decoder decode failed: ";
constexpr const char* kZeroFrames = "media decoder decoded zero PCM frames.";
constexpr const char* kOutOfMemory = "media decoder ran out of memory.";
}  // namespace text

std::string errorText(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof buffer);
    return buffer;
}

void silenceLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

struct FormatCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecCloser {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct SwrFree {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;

// Converts decoded frames to interleaved float in the first frame's layout and
// rate, rebuilding the converter when the decoder changes its parameters.
class FrameConverter {
  public:
    FrameConverter() = default;
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;
    ~FrameConverter() {
        av_channel_layout_uninit(&outLayout_);
        av_channel_layout_uninit(&inLayout_);
    }

    bool add(AVFrame& frame, std::string& message) {
        if (frame.sample_rate <= 0 || frame.ch_layout.nb_channels <= 0) {
            message = text::kInvalidFormat;
            return false;
        }
        if (!swr_) {
            if (av_channel_layout_copy(&outLayout_, &frame.ch_layout) < 0) {
                message = text::kOutOfMemory;
                return false;
            }
            outRate_ = frame.sample_rate;
            energy_ = BlockEnergyBuilder(outLayout_.nb_channels, blockEnergyFrames(outRate_));
        } else if (frame.sample_rate != inRate_ || frame.format != inFormat_ ||
                   av_channel_layout_compare(&frame.ch_layout, &inLayout_) != 0) {
            if (!drain(message)) return false;
            swr_.reset();
        }
        if (!swr_ && !configure(frame, message)) return false;
        return convert(const_cast<const uint8_t**>(frame.extended_data), frame.nb_samples, message);
    }

    bool finish(std::string& message) { return !swr_ || drain(message); }

    void reserve(std::size_t samples) {
        // Bounded: a damaged header must not claim the machine's memory.
        try {
            samples_.reserve(std::min<std::size_t>(samples, std::size_t{1} << 28));
        } catch (const std::bad_alloc&) {
        }
    }

    int sampleRate() const { return outRate_; }
    int channels() const { return outLayout_.nb_channels; }
    std::vector<float>& samples() { return samples_; }
    BlockEnergy takeEnergy() { return energy_.take(); }

  private:
    bool configure(AVFrame& frame, std::string& message) {
        SwrContext* raw = nullptr;
        int result = swr_alloc_set_opts2(
            &raw, &outLayout_, AV_SAMPLE_FMT_FLT, outRate_, &frame.ch_layout,
            static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
        swr_.reset(raw);
        if (result >= 0) result = swr_init(swr_.get());
        if (result < 0) {
            message = text::kConvertFailed + errorText(result);
            swr_.reset();
            return false;
        }
        av_channel_layout_uninit(&inLayout_);
        if (av_channel_layout_copy(&inLayout_, &frame.ch_layout) < 0) {
            message = text::kOutOfMemory;
            return false;
        }
        inRate_ = frame.sample_rate;
        inFormat_ = frame.format;
        return true;
    }

    bool convert(const uint8_t** input, int inputFrames, std::string& message) {
        const int capacity = swr_get_out_samples(swr_.get(), inputFrames);
        if (capacity < 0) {
            message = text::kConvertFailed + errorText(capacity);
            return false;
        }
        const std::size_t channels = static_cast<std::size_t>(outLayout_.nb_channels);
        const std::size_t offset = samples_.size();
        samples_.resize(offset + static_cast<std::size_t>(capacity) * channels);
        uint8_t* output = reinterpret_cast<uint8_t*>(samples_.data() + offset);
        const int got = swr_convert(swr_.get(), &output, capacity, input, inputFrames);
        if (got < 0) {
            samples_.resize(offset);
            message = text::kConvertFailed + errorText(got);
            return false;
        }
        samples_.resize(offset + static_cast<std::size_t>(got) * channels);
        energy_.update(samples_.data(), samples_.size() / channels);
        return true;
    }

    bool drain(std::string& message) { return convert(nullptr, 0, message); }

    SwrPtr swr_;
    AVChannelLayout outLayout_{};
    AVChannelLayout inLayout_{};
    int outRate_ = 0;
    int inRate_ = 0;
    int inFormat_ = -1;
    std::vector<float> samples_;
    BlockEnergyBuilder energy_;
};

// Takes every frame the decoder has ready. False on a hard failure.
bool receiveFrames(AVCodecContext* codec, AVFrame* frame, FrameConverter& converter,
                   std::string& message) {
    for (;;) {
        const int result = avcodec_receive_frame(codec, frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
        if (result == AVERROR_INVALIDDATA) continue;  // a damaged frame is skipped
        if (result < 0) {
            message = text::kDecodeFailed + errorText(result);
            return false;
        }
        // Some decoders (MP3 in this FFmpeg) stamp a frame with the previous
        // frame's rate; the context has the rate of the frame just decoded.
        if (codec->sample_rate > 0) frame->sample_rate = codec->sample_rate;
        const bool converted = converter.add(*frame, message);
        av_frame_unref(frame);
        if (!converted) return false;
    }
}

}  // namespace

PcmBufferPtr decodeWithMediaFramework(const std::string& path, std::string& message) {
    silenceLogging();
    if (platform::isSpecialFile(path)) {
        message = std::string(text::kOpenFailed) + platform::kNotRegularFileText;
        return nullptr;
    }

    AVFormatContext* rawFormat = nullptr;
    int result = avformat_open_input(&rawFormat, path.c_str(), nullptr, nullptr);
    if (result < 0) {
        message = text::kOpenFailed + errorText(result);
        return nullptr;
    }
    FormatPtr format(rawFormat);
    result = avformat_find_stream_info(format.get(), nullptr);
    if (result < 0) {
        message = text::kStreamInfoFailed + errorText(result);
        return nullptr;
    }

    AVStream* stream = nullptr;
    for (unsigned i = 0; i < format->nb_streams && !stream; ++i)
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            stream = format->streams[i];
    if (!stream) {
        message = text::kNoAudioStream;
        return nullptr;
    }
    // Only the audio stream is read; the rest (cover art, video) is skipped.
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (format->streams[i] != stream) format->streams[i]->discard = AVDISCARD_ALL;

    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder) {
        message = text::kNoDecoder;
        return nullptr;
    }
    CodecPtr codec(avcodec_alloc_context3(decoder));
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!codec || !packet || !frame) {
        message = text::kOutOfMemory;
        return nullptr;
    }
    result = avcodec_parameters_to_context(codec.get(), stream->codecpar);
    if (result >= 0) result = avcodec_open2(codec.get(), decoder, nullptr);
    if (result < 0) {
        message = text::kDecoderInitFailed + errorText(result);
        return nullptr;
    }

    FrameConverter converter;
    // Size the buffer from the container's duration when it states one.
    // The header is only a hint: a damaged one can claim hours in a few bytes,
    // so the reservation never exceeds what the file's size could plausibly
    // decode to (the vector still grows past it for real audio).
    if (format->duration > 0 && codec->sample_rate > 0 && codec->ch_layout.nb_channels > 0) {
        const double claimed = (static_cast<double>(format->duration) / AV_TIME_BASE * codec->sample_rate + 8192.0) *
                               codec->ch_layout.nb_channels;
        const std::int64_t fileBytes = format->pb != nullptr ? avio_size(format->pb) : -1;
        const double plausible =
            fileBytes > 0 ? static_cast<double>(fileBytes) * static_cast<double>(kMaxSamplesPerFileByte) : 0.0;
        if (claimed > 0.0 && claimed < 9.0e15)
            converter.reserve(static_cast<std::size_t>(std::min(claimed, plausible)));
    }
    // A read error other than the end is treated as the end: a truncated file
    // yields what could be decoded.
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream->index) {
            result = avcodec_send_packet(codec.get(), packet.get());
            if (result < 0 && result != AVERROR_INVALIDDATA && result != AVERROR(EAGAIN)) {
                av_packet_unref(packet.get());
                message = text::kDecodeFailed + errorText(result);
                return nullptr;
            }
        }
        av_packet_unref(packet.get());
        if (!receiveFrames(codec.get(), frame.get(), converter, message)) return nullptr;
    }
    avcodec_send_packet(codec.get(), nullptr);
    if (!receiveFrames(codec.get(), frame.get(), converter, message)) return nullptr;
    if (!converter.finish(message)) return nullptr;

    if (converter.samples().empty()) {
        message = text::kZeroFrames;
        return nullptr;
    }
    auto buffer = std::make_shared<PcmBuffer>();
    buffer->sampleRate = converter.sampleRate();
    buffer->channels = converter.channels();
    buffer->samples = std::move(converter.samples());
    buffer->energy = converter.takeEnergy();
    std::vector<float>& samples = buffer->samples;
    if (samples.capacity() - samples.size() > samples.size() / 16 + 65536) samples.shrink_to_fit();
    return buffer;
}

}  // namespace velmora
