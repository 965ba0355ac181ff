#include "decoding/media_input.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "decoding/library_decoder.hpp"
#include "decoding/pcm_buffer.hpp"

namespace velmora {

namespace {

constexpr int kIoBufferBytes = 64 * 1024;
// What any real track has at the least, where a header states only a length.
constexpr double kMinSamplesPerSecond = 8000.0;

// FFmpeg logs to stderr by default; the engine's only output is its own log.
void silenceLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Nothing inside a file may send the demuxer to another resource.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
    return AVERROR(EPERM);
}

std::uint64_t bigEndian(const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
    return value;
}

// The movie duration in an MP4/QuickTime file's 'mvhd' box, in seconds (0 when
// the file is not one or states none). FFmpeg's demuxer would build the whole
// sample index first: 25 ms for a 40-minute track, where this reads a few
// box headers.
double mp4MovieSeconds(const std::string& path) {
    std::error_code error;
    platform::ReadableFile file = platform::ReadableFile::open(path, error);
    const std::int64_t fileBytes = file.size();
    if (error || fileBytes <= 0) return 0.0;
    struct Box {
        std::int64_t start = 0, end = 0, body = 0;
        std::uint32_t type = 0;
    };
    const auto readBox = [&](std::int64_t at, std::int64_t limit, Box& box) {
        unsigned char header[16];
        if (file.seek(at, SEEK_SET) != at || file.read(header, 8) != 8) return false;
        std::uint64_t size = bigEndian(header, 4);
        box.type = static_cast<std::uint32_t>(bigEndian(header + 4, 4));
        box.body = at + 8;
        if (size == 1) {
            if (file.read(header + 8, 8) != 8) return false;
            size = bigEndian(header + 8, 8);
            box.body = at + 16;
        } else if (size == 0) {
            size = static_cast<std::uint64_t>(limit - at);  // runs to the end
        }
        box.start = at;
        box.end = at + static_cast<std::int64_t>(std::min<std::uint64_t>(size, INT64_MAX / 2));
        return box.end >= box.body && box.end <= limit;
    };
    const auto find = [&](std::int64_t from, std::int64_t to, std::uint32_t type, Box& box) {
        for (int boxes = 0; boxes < 256 && from < to && readBox(from, to, box);
             ++boxes, from = box.end)
            if (box.type == type) return true;
        return false;
    };
    constexpr std::uint32_t kFtyp = 0x66747970, kMoov = 0x6d6f6f76, kMvhd = 0x6d766864;
    Box first, moov, mvhd;
    if (!readBox(0, fileBytes, first) || first.type != kFtyp) return 0.0;
    if (!find(0, fileBytes, kMoov, moov) || !find(moov.body, moov.end, kMvhd, mvhd)) return 0.0;
    unsigned char body[32];
    if (file.seek(mvhd.body, SEEK_SET) != mvhd.body || file.read(body, sizeof body) != sizeof body)
        return 0.0;
    const bool wide = body[0] == 1;  // version 1: 64-bit times
    const std::uint64_t timescale = bigEndian(body + (wide ? 20 : 12), 4);
    const std::uint64_t duration = bigEndian(body + (wide ? 24 : 16), wide ? 8 : 4);
    const std::uint64_t unknown = wide ? UINT64_MAX : UINT32_MAX;
    if (timescale == 0 || duration == 0 || duration == unknown) return 0.0;
    return static_cast<double>(duration) / static_cast<double>(timescale);
}

}  // namespace

MediaInput::~MediaInput() {
    avformat_close_input(&format_);
    if (io_ != nullptr) av_freep(&io_->buffer);
    avio_context_free(&io_);
}

int MediaInput::readPacket(void* opaque, unsigned char* buffer, int size) {
    const std::int64_t got =
        static_cast<MediaInput*>(opaque)->file_.read(buffer, static_cast<std::size_t>(size));
    if (got < 0) return AVERROR(EIO);
    return got == 0 ? AVERROR_EOF : static_cast<int>(got);
}

std::int64_t MediaInput::seekTo(void* opaque, std::int64_t offset, int whence) {
    auto& file = static_cast<MediaInput*>(opaque)->file_;
    if (whence & AVSEEK_SIZE) return file.size();
    const std::int64_t result = file.seek(offset, whence & ~AVSEEK_FORCE);
    return result < 0 ? AVERROR(EIO) : result;
}

int MediaInput::open(const std::string& path) {
    silenceLogging();
    std::error_code error;
    file_ = platform::ReadableFile::open(path, error);
    if (error) return AVERROR(error.value());

    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    if (buffer == nullptr) return AVERROR(ENOMEM);
    io_ = avio_alloc_context(buffer, kIoBufferBytes, 0, this, &readPacket, nullptr, &seekTo);
    if (io_ == nullptr) {
        av_free(buffer);
        return AVERROR(ENOMEM);
    }
    format_ = avformat_alloc_context();
    if (format_ == nullptr) return AVERROR(ENOMEM);
    format_->pb = io_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    format_->io_open = &refuseNestedOpen;
    // The path still names the file to the prober (its extension is a hint);
    // it is never opened from here.
    const int result = avformat_open_input(&format_, path.c_str(), nullptr, nullptr);
    if (result < 0) format_ = nullptr;  // freed by FFmpeg; the I/O context is ours
    return result;
}

double statedDurationSeconds(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos || platform::isSpecialFile(path))
        return 0.0;
    const std::uint64_t fileBytes = platform::fileSize(path).value_or(0);
    if (fileBytes == 0) return 0.0;
    // A damaged header can claim hours in a few bytes; such a claim says nothing.
    const auto believable = [&](double seconds, double samplesPerSecond) {
        return seconds > 0.0 && seconds * samplesPerSecond <=
                                    static_cast<double>(fileBytes) * kMaxSamplesPerFileByte
                   ? seconds
                   : 0.0;
    };

    SF_INFO info{};
    if (SNDFILE* file = sf_open(libraryFileName(path).c_str(), SFM_READ, &info)) {
        sf_close(file);
        if (info.samplerate > 0 && info.channels > 0 && info.frames > 0 &&
            info.frames < SF_COUNT_MAX)
            return believable(static_cast<double>(info.frames) / info.samplerate,
                              static_cast<double>(info.samplerate) * info.channels);
    }

    if (const double seconds = believable(mp4MovieSeconds(path), kMinSamplesPerSecond); seconds > 0.0)
        return seconds;

    MediaInput input;
    if (input.open(path) < 0) return 0.0;
    AVFormatContext* format = input.format();
    const auto stated = [&]() -> double {
        const int index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (index < 0) return 0.0;
        const AVStream* stream = format->streams[index];
        const double samplesPerSecond =
            std::max(1, stream->codecpar->sample_rate) *
            static_cast<double>(std::max(1, stream->codecpar->ch_layout.nb_channels));
        if (stream->duration > 0 && stream->time_base.num > 0)
            return believable(static_cast<double>(stream->duration) * av_q2d(stream->time_base),
                              samplesPerSecond);
        if (format->duration > 0)
            return believable(static_cast<double>(format->duration) / AV_TIME_BASE,
                              samplesPerSecond);
        return 0.0;
    };
    if (const double seconds = stated(); seconds > 0.0) return seconds;
    // A raw stream (ADTS AAC, for one) states nothing: its first packets'
    // bytes per second, once FFmpeg's parser stamps their durations, give
    // an estimate.
    if (avformat_find_stream_info(format, nullptr) < 0) return 0.0;
    if (const double seconds = stated(); seconds > 0.0) return seconds;
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    AVPacket* packet = av_packet_alloc();
    if (index < 0 || packet == nullptr) {
        av_packet_free(&packet);
        return 0.0;
    }
    std::int64_t bytes = 0, ticks = 0;
    for (int packets = 0; packets < 256 && av_read_frame(format, packet) >= 0; ++packets) {
        if (packet->stream_index == index && packet->duration > 0) {
            bytes += packet->size;
            ticks += packet->duration;
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    const AVStream* stream = format->streams[index];
    if (bytes <= 0 || ticks <= 0 || stream->time_base.num <= 0) return 0.0;
    const double bytesPerSecond =
        static_cast<double>(bytes) / (static_cast<double>(ticks) * av_q2d(stream->time_base));
    return believable(
        static_cast<double>(fileBytes) / bytesPerSecond,
        std::max(1, stream->codecpar->sample_rate) *
            static_cast<double>(std::max(1, stream->codecpar->ch_layout.nb_channels)));
}

}  // namespace velmora
