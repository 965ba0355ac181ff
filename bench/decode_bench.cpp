// Whole-track decode time through decodeTrack, a fresh cache per iteration.
// Usage: decode_bench [benchmark flags] FILE...
// Without files it decodes a generated 5-minute float WAV.

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "decoding/decode_chain.hpp"

namespace {

void decodeFile(benchmark::State& state, const std::string& path) {
    std::uint64_t frames = 0;
    for (auto _ : state) {
        velmora::TrackCache cache;
        velmora::TrackDescriptor track;
        track.path = path;
        std::string message;
        const auto buffer = velmora::decodeTrack(cache, track, false, message);
        if (!buffer) {
            state.SkipWithError(message.c_str());
            return;
        }
        frames = buffer->frameCount();
        benchmark::DoNotOptimize(buffer.get());
    }
    state.counters["frames"] = static_cast<double>(frames);
}

std::string makeDefaultFile() {
    const std::string path =
        (std::filesystem::temp_directory_path() / "velmora-decode-bench.wav").string();
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return path;
    std::vector<float> block(2 * 44100);
    for (int second = 0; second < 300; ++second) {
        for (int f = 0; f < 44100; ++f)
            block[2 * f] = block[2 * f + 1] =
                0.5f * std::sin(2.0 * std::numbers::pi * 440.0 * f / 44100.0);
        sf_writef_float(file, block.data(), 44100);
    }
    sf_close(file);
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::vector<std::string> files(argv + 1, argv + argc);
    const bool generated = files.empty();
    if (generated) files.push_back(makeDefaultFile());
    for (const auto& file : files)
        benchmark::RegisterBenchmark(
            ("decodeTrack/" + std::filesystem::path(file).filename().string()).c_str(),
            [file](benchmark::State& state) { decodeFile(state, file); })
            ->Unit(benchmark::kMillisecond)
            ->Iterations(3);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (generated) std::remove(files.front().c_str());
    return 0;
}
