// Waveform and trim cost against a plain decode of the same file, for long
// generated tracks in several formats. VELMORA_BENCH_MINUTES sets the track
// length (default 60). Trim is timed through analyzeTrackTrim on a track the
// cache already holds, and, for comparison, from the samples alone.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "analysis/trim.hpp"
#include "analysis/waveform.hpp"
#include "decoding/decode_chain.hpp"
#include "decoding/resampling_reader.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int32_t kEngineRate = 48'000;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// Samples resident memory while `work` runs; returns the growth over the start.
template <typename F>
long peakGrowth(F&& work) {
    const long base = residentBytes();
    std::atomic<bool> done{false};
    std::atomic<long> peak{base};
    std::thread sampler([&] {
        while (!done.load()) {
            peak.store(std::max(peak.load(), residentBytes()));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    work();
    done.store(true);
    sampler.join();
    return std::max(0L, std::max(peak.load(), residentBytes()) - base);
}

// What the waveform pass competes with: the same reader, doing nothing else.
double plainDecode(const std::string& path) {
    velmora::ResamplingReader reader;
    if (!reader.open(path, kEngineRate)) return -1.0;
    std::vector<float> chunk(49'152 * static_cast<std::size_t>(reader.channels()));
    volatile float sink = 0.0f;
    const auto start = Clock::now();
    while (std::size_t got = reader.read(chunk.data(), 49'152)) sink = sink + chunk[got - 1];
    return seconds(start);
}

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

int main() {
    const char* env = std::getenv("VELMORA_BENCH_MINUTES");
    const int minutes = env != nullptr ? std::max(1, std::atoi(env)) : 60;
    std::string pattern =
        (std::filesystem::temp_directory_path() / "velmora-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    const std::filesystem::path dir = pattern;
    const auto file = [&](const char* name) { return (dir / name).string(); };

    const int body = minutes * 60 - 5;
    std::printf("generating %d-minute tracks in %s\n", minutes, dir.c_str());
    const std::string wav = file("track.wav");
    const bool generated =
        run("sox -n -r 44100 -c 2 -b 16 '" + wav + "' synth " + std::to_string(body) +
            " pinknoise synth sine mix 440 synth sine mix 1234 vol 0.5 fade 1.5 0 2 pad 2 3") &&
        run("flac -s -f -o '" + file("track.flac") + "' '" + wav + "'") &&
        run("lame --quiet -b 192 '" + wav + "' '" + file("track.mp3") + "'") &&
        run("oggenc -Q -q 5 -o '" + file("track.ogg") + "' '" + wav + "'");
    if (!generated) {
        std::fprintf(stderr, "could not generate the tracks (sox, flac, lame, oggenc)\n");
        std::filesystem::remove_all(dir);
        return 1;
    }

    std::printf("%-5s %9s %9s %7s %9s %10s %9s %9s %10s\n", "file", "decode_s", "wave_s", "ratio",
                "wave_MiB", "trim_ms", "trim/dec", "cue_in/out", "samples_ms");
    for (const char* name : {"track.wav", "track.flac", "track.mp3", "track.ogg"}) {
        const std::string path = file(name);
        velmora::TrackDescriptor track;
        track.path = path;
        // Best of two, alternating, to damp noise from other load on the machine.
        double decode = 1e9, wave = 1e9;
        long waveBytes = 0;
        for (int round = 0; round < 2; ++round) {
            decode = std::min(decode, plainDecode(path));
            const auto start = Clock::now();
            const velmora::WaveformResult result =
                velmora::computeWaveform(kEngineRate, track, 1200);
            wave = std::min(wave, seconds(start));
            if (!result.ok) std::fprintf(stderr, "%s: waveform failed\n", name);
        }
        // Memory in a separate run, so the sampling thread does not skew the timing.
        waveBytes = peakGrowth([&] { velmora::computeWaveform(kEngineRate, track, 1200); });

        // A cached track, decoded by the chain; the cache is made large enough
        // to hold an hour.
        velmora::TrackCache cache({velmora::TrackCache::kMaxEntries, std::uint64_t{8} << 30,
                                   velmora::TrackCache::kProtectedPlaybackEntries});
        std::string message;
        if (!velmora::decodeTrack(cache, track, false, message))
            std::fprintf(stderr, "%s: decode failed: %s\n", name, message.c_str());
        velmora::TrimResult trim;
        double trimSeconds = 1e9;
        for (int round = 0; round < 3; ++round) {
            const auto start = Clock::now();
            trim = velmora::analyzeTrackTrim(cache, track, 10.0, 0.0, 0.0);
            trimSeconds = std::min(trimSeconds, seconds(start));
        }
        // The same samples without their block energy, read one by one.
        velmora::TrimResult samplesTrim;
        double samplesSeconds = 1e9;
        if (velmora::PcmBufferPtr cached = cache.lookup(path, false)) {
            auto samplesOnly = std::make_shared<velmora::PcmBuffer>(*cached);
            samplesOnly->energy = {};
            cache.clear();
            cached.reset();
            for (int round = 0; round < 3; ++round) {
                const auto start = Clock::now();
                samplesTrim = velmora::detectTrim(samplesOnly, 10.0, 0.0, 0.0);
                samplesSeconds = std::min(samplesSeconds, seconds(start));
            }
        }
        const bool same = trim.cueInSeconds == samplesTrim.cueInSeconds &&
                          trim.cueOutSeconds == samplesTrim.cueOutSeconds;
        std::printf("%-5s %9.3f %9.3f %6.3fx %9.2f %10.2f %8.2f%% %4.2f/%.2f %10.2f%s%s\n",
                    name + 6, decode, wave, wave / decode, waveBytes / 1048576.0,
                    trimSeconds * 1000.0, 100.0 * trimSeconds / decode, trim.cueInSeconds,
                    trim.cueOutSeconds, samplesSeconds * 1000.0, trim.ok ? "" : " (trim failed)",
                    same ? "" : " (cues differ from the samples' own)");
        std::fflush(stdout);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
