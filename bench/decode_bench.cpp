// Whole-track decode to interleaved float: decodeTrack against its peers on
// the same file in the same run: libsndfile, FFmpeg's libraries and, where
// one exists here, the format's own codec library called directly. Also the
// cost of the streaming decision (shouldStreamTrack) on each file.
// Usage: decode_bench [benchmark flags] FILE...
// Without files it decodes a generated 5-minute float WAV.

#include <FLAC/stream_decoder.h>
#include <benchmark/benchmark.h>
#include <mpg123.h>
#include <sndfile.h>
#include <vorbis/vorbisfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "decoding/decode_chain.hpp"
#include "decoding/library_decoder.hpp"
#include "decoding/media_framework_decoder.hpp"

namespace {

using Decoder = std::function<std::size_t(const std::string&)>;  // frames decoded, 0 on failure

// The streaming decision, header probe included: what loadTrack and
// prepareTrack pay before decoding (or streaming) anything.
void probeDecision(benchmark::State& state, const std::string& path) {
    velmora::TrackDescriptor track;
    track.path = path;
    bool streams = false;
    for (auto _ : state) benchmark::DoNotOptimize(streams = velmora::shouldStreamTrack(track));
    state.counters["streams"] = streams;
}

std::size_t viaDecodeTrack(const std::string& path) {
    velmora::TrackCache cache;
    velmora::TrackDescriptor track;
    track.path = path;
    std::string message;
    const auto buffer = velmora::decodeTrack(cache, track, false, message);
    return buffer ? buffer->frameCount() : 0;
}

// Peers keep their output the way a caller would: one growing float vector.
std::size_t viaSndfile(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return 0;
    std::vector<float> samples(static_cast<std::size_t>(std::max<sf_count_t>(info.frames, 0)) * info.channels);
    const sf_count_t got = sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

std::size_t viaFfmpeg(const std::string& path) {
    std::string message;
    const auto buffer = velmora::decodeWithMediaFramework(path, message);
    return buffer ? buffer->frameCount() : 0;
}

struct FlacSink {
    std::vector<float> samples;
    unsigned channels = 0;
};

FLAC__StreamDecoderWriteStatus flacWrite(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                         const FLAC__int32* const buffer[], void* user) {
    auto* sink = static_cast<FlacSink*>(user);
    const unsigned ch = frame->header.channels, n = frame->header.blocksize;
    const float scale = 1.0f / static_cast<float>(1u << (frame->header.bits_per_sample - 1));
    const std::size_t at = sink->samples.size();
    sink->samples.resize(at + static_cast<std::size_t>(n) * ch);
    float* out = sink->samples.data() + at;
    for (unsigned i = 0; i < n; ++i)
        for (unsigned c = 0; c < ch; ++c) *out++ = static_cast<float>(buffer[c][i]) * scale;
    sink->channels = ch;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void flacMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* meta, void* user) {
    if (meta->type == FLAC__METADATA_TYPE_STREAMINFO)
        static_cast<FlacSink*>(user)->samples.reserve(meta->data.stream_info.total_samples *
                                                      meta->data.stream_info.channels);
}

void flacError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {}

std::size_t viaLibFlac(const std::string& path) {
    FLAC__StreamDecoder* decoder = FLAC__stream_decoder_new();
    FlacSink sink;
    std::size_t frames = 0;
    if (FLAC__stream_decoder_init_file(decoder, path.c_str(), flacWrite, flacMetadata, flacError, &sink) ==
            FLAC__STREAM_DECODER_INIT_STATUS_OK &&
        FLAC__stream_decoder_process_until_end_of_stream(decoder) && sink.channels > 0)
        frames = sink.samples.size() / sink.channels;
    FLAC__stream_decoder_delete(decoder);
    return frames;
}

std::size_t viaMpg123(const std::string& path) {
    mpg123_handle* handle = mpg123_new(nullptr, nullptr);
    if (!handle) return 0;
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_FORCE_FLOAT | MPG123_QUIET, 0.0);
    std::size_t frames = 0;
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_open(handle, path.c_str()) == MPG123_OK &&
        mpg123_getformat(handle, &rate, &channels, &encoding) == MPG123_OK) {
        mpg123_format_none(handle);
        mpg123_format(handle, rate, channels, MPG123_ENC_FLOAT_32);
        std::vector<float> samples;
        const off_t length = mpg123_length(handle);
        if (length > 0) samples.reserve(static_cast<std::size_t>(length) * channels);
        unsigned char* data = nullptr;
        std::size_t bytes = 0;
        off_t offset = 0;
        int result;
        while ((result = mpg123_decode_frame(handle, &offset, &data, &bytes)) == MPG123_OK ||
               result == MPG123_NEW_FORMAT) {
            const auto* f = reinterpret_cast<const float*>(data);
            samples.insert(samples.end(), f, f + bytes / sizeof(float));
        }
        frames = samples.size() / channels;
    }
    mpg123_close(handle);
    mpg123_delete(handle);
    return frames;
}

std::size_t viaVorbisfile(const std::string& path) {
    OggVorbis_File file;
    if (ov_fopen(path.c_str(), &file) != 0) return 0;
    const int channels = ov_info(&file, -1)->channels;
    std::vector<float> samples;
    const ogg_int64_t total = ov_pcm_total(&file, -1);
    if (total > 0) samples.reserve(static_cast<std::size_t>(total) * channels);
    float** pcm = nullptr;
    int section = 0;
    long got;
    while ((got = ov_read_float(&file, &pcm, 4096, &section)) > 0) {
        const std::size_t at = samples.size();
        samples.resize(at + static_cast<std::size_t>(got) * channels);
        float* out = samples.data() + at;
        for (long i = 0; i < got; ++i)
            for (int c = 0; c < channels; ++c) *out++ = pcm[c][i];
    }
    ov_clear(&file);
    return samples.size() / channels;
}

void run(benchmark::State& state, const Decoder& decode, const std::string& path) {
    std::size_t frames = 0;
    for (auto _ : state) {
        frames = decode(path);
        if (frames == 0) {
            state.SkipWithError("decode failed");
            return;
        }
    }
    state.counters["frames"] = static_cast<double>(frames);
}

std::string makeDefaultFile() {
    const std::string path = (std::filesystem::temp_directory_path() / "velmora-decode-bench.wav").string();
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return path;
    std::vector<float> block(2 * 44100);
    for (int second = 0; second < 300; ++second) {
        for (int f = 0; f < 44100; ++f)
            block[2 * f] = block[2 * f + 1] = 0.5f * std::sin(2.0 * std::numbers::pi * 440.0 * f / 44100.0);
        sf_writef_float(file, block.data(), 44100);
    }
    sf_close(file);
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    // Rounds of every decoder interleaved, so that other load on the machine
    // falls on all of them alike; the table takes each one's fastest round.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    argc = static_cast<int>(args.size());
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    mpg123_init();
    std::vector<std::string> files(argv + 1, argv + argc);
    const bool generated = files.empty();
    if (generated) files.push_back(makeDefaultFile());
    for (const auto& file : files) {
        const std::string name = std::filesystem::path(file).filename().string();
        const std::string extension = velmora::lowercaseExtension(file);
        std::vector<std::pair<std::string, Decoder>> decoders = {
            {"decodeTrack", viaDecodeTrack}, {"libsndfile", viaSndfile}, {"ffmpeg", viaFfmpeg}};
        if (extension == "flac") decoders.emplace_back("codec", viaLibFlac);
        if (extension == "mp3") decoders.emplace_back("codec", viaMpg123);
        if (extension == "ogg") decoders.emplace_back("codec", viaVorbisfile);
        for (const auto& [label, decoder] : decoders)
            benchmark::RegisterBenchmark((label + "/" + name).c_str(),
                                         [decoder, file](benchmark::State& state) { run(state, decoder, file); })
                ->Unit(benchmark::kMillisecond)
                ->Iterations(1)
                ->Repetitions(5);
        benchmark::RegisterBenchmark(
            ("shouldStreamTrack/" + name).c_str(),
            [file](benchmark::State& state) { probeDecision(state, file); })
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    mpg123_exit();
    if (generated) std::remove(files.front().c_str());
    return 0;
}
