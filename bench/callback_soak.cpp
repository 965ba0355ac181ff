// Callback time under load: the engine on a private JACK dummy server at
// 128 frames and 48 kHz, 8 decks playing (4 decoded at 44.1 kHz, 4 streamed),
// while a waveform and a trim analysis run back to back on two threads.
// Prints one JSON line with the tail of the engine's own callback timing.
//
//   callback_soak [--seconds N] [--analyse FILE]...
//
// --analyse gives the files the analyses cycle through (default: a generated
// two-minute WAV). Progress, xruns as they happen and the engine's log go to
// stderr.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sndfile.h>
#include <unistd.h>

#include "analysis/trim.hpp"
#include "analysis/waveform.hpp"
#include "decoding/track_cache.hpp"
#include "engine/audio_engine.hpp"
#include "support/jack_server.hpp"
#include "support/test_support.hpp"

using namespace velmora;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFrames = 128;
constexpr int kRate = 48000;
constexpr int kDecks = 8;

int fail(const std::string& what) {
    std::fprintf(stderr, "callback_soak: %s\n", what.c_str());
    return 1;
}

struct Track {
    std::string path;
    double seconds;
};

bool writeSine(const std::string& path, double seconds, int rate, double frequency) {
    const auto frames = static_cast<std::uint64_t>(seconds * rate);
    return test::writeWav(path, test::makeSine(frames, 2, rate, frequency, 0.25), 2, rate, SF_FORMAT_PCM_16);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 600.0;
    std::vector<std::string> analysisFiles;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--analyse") && i + 1 < argc) analysisFiles.push_back(argv[++i]);
        else return fail(std::string("unknown argument ") + argv[i]);
    }
    if (!(seconds > 0.0)) return fail("--seconds must be positive");
    // The engine logs to stdout; only the result line goes there.
    const int resultOut = dup(STDOUT_FILENO);
    dup2(STDERR_FILENO, STDOUT_FILENO);

    test::JackServer server(kFrames);
    if (!server.start(/*realtime=*/true)) return fail("jackd did not start");

    // Decoded decks need files under the streaming thresholds (24 MiB); the
    // streamed ones get longer files. Decks loop by seeking back.
    test::TempDir dir;
    std::vector<Track> tracks;
    for (int d = 0; d < kDecks; ++d) {
        const bool streamed = d >= kDecks / 2;
        const Track t{dir.file("deck" + std::to_string(d) + ".wav"), streamed ? 300.0 : 100.0};
        const int rate = streamed && d % 2 ? kRate : 44100;
        if (!writeSine(t.path, t.seconds, rate, 110.0 * (d + 1))) return fail("cannot write " + t.path);
        tracks.push_back(t);
    }
    if (analysisFiles.empty()) {
        analysisFiles.push_back(dir.file("analysis.wav"));
        if (!writeSine(analysisFiles.back(), 120.0, 44100, 333.0)) return fail("cannot write the analysis file");
    }

    auto engine = std::make_shared<AudioEngine>();
    EngineConfig config;
    config.bufferSize = kFrames;
    config.sampleRate = kRate;
    config.deviceId = test::jackDeviceId(*engine);
    engine->initialize(config);
    RuntimeInfo info = engine->snapshotRuntimeInfo();
    if (!info.streamOpen || info.activeHostApiName.find("JACK") == std::string::npos)
        return fail("no stream on the JACK dummy device: " + info.lastError);

    std::vector<std::string> ids;
    for (int d = 0; d < kDecks; ++d) {
        ids.push_back("deck" + std::to_string(d));
        TrackDescriptor track;
        track.id = ids.back();
        track.path = tracks[d].path;
        engine->createDeck(ids.back());
        const DeckState loaded = engine->loadTrack(ids.back(), track);
        if (!loaded.loaded) return fail("cannot load " + track.path + ": " + loaded.lastError);
        engine->play(ids.back());
    }

    std::atomic<bool> running{true};
    std::atomic<std::uint64_t> waveforms{0}, trims{0};
    std::atomic<bool> analysisFailed{false};
    std::thread waveformThread([&] {
        for (std::size_t n = 0; running.load(); ++n) {
            TrackDescriptor track;
            track.path = analysisFiles[n % analysisFiles.size()];
            if (!computeWaveform(engine->currentSampleRate(), track, 2000).ok) analysisFailed = true;
            waveforms.fetch_add(1);
        }
    });
    std::thread trimThread([&] {
        // A cache that keeps nothing, so that every trim decodes its file
        // rather than reusing the previous one's buffer.
        TrackCache uncached(TrackCache::Limits{1, 1, 0});
        for (std::size_t n = 0; running.load(); ++n) {
            TrackDescriptor track;
            track.path = analysisFiles[(n + 1) % analysisFiles.size()];
            if (!analyzeTrackTrim(uncached, track, 10.0, 0.3, 0.3).ok) analysisFailed = true;
            trims.fetch_add(1);
        }
    });

    // Statistics start once every deck plays and both analyses are under way;
    // initialize resets them (and reopens the stream, as a device change does).
    std::this_thread::sleep_for(std::chrono::seconds(1));
    engine->initialize(config);
    info = engine->snapshotRuntimeInfo();
    if (!info.streamOpen) return fail("the stream did not reopen: " + info.lastError);

    std::uint64_t restarts = 0;
    std::uint64_t xrunsSeen = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    auto nextReport = start + std::chrono::seconds(30);
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (int d = 0; d < kDecks; ++d) {
            const DeckState state = engine->getDeckState(ids[d]);
            if (state.positionSeconds > tracks[d].seconds - 5.0) engine->seek(ids[d], 0.0);
            if (!state.playing) {
                engine->play(ids[d]);
                ++restarts;
            }
        }
        const RuntimeInfo polled = engine->snapshotRuntimeInfo();
        if (polled.xrunCount != xrunsSeen) {
            std::fprintf(stderr, "callback_soak: xrun at %.1f s (%llu so far), max callback %.3f ms\n",
                         std::chrono::duration<double>(Clock::now() - start).count(),
                         static_cast<unsigned long long>(polled.xrunCount), polled.maxCallbackMs);
            xrunsSeen = polled.xrunCount;
        }
        if (Clock::now() >= nextReport) {
            nextReport += std::chrono::seconds(30);
            const RuntimeInfo now = engine->snapshotRuntimeInfo();
            std::fprintf(stderr, "callback_soak: %.0f s, max %.3f ms, xruns %llu, %llu waveforms, %llu trims\n",
                         std::chrono::duration<double>(Clock::now() - start).count(), now.maxCallbackMs,
                         static_cast<unsigned long long>(now.xrunCount),
                         static_cast<unsigned long long>(waveforms.load()),
                         static_cast<unsigned long long>(trims.load()));
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const TimeHistogram::Snapshot times = engine->callbackTimes();
    info = engine->snapshotRuntimeInfo();
    running = false;
    waveformThread.join();
    trimThread.join();
    engine->shutdown();

    // A percentile is its bucket's upper edge; none can exceed the exact maximum.
    const auto ms = [&](double percent) { return std::min(times.percentileNs(percent) / 1e6, info.maxCallbackMs); };
    const double budgetMs = static_cast<double>(kFrames) * 1000.0 / kRate;
    const double p9999 = ms(99.99);
    std::fflush(stdout);
    dup2(resultOut, STDOUT_FILENO);
    close(resultOut);
    std::printf("{\"seconds\":%.1f,\"callbacks\":%llu,\"budgetMs\":%.4f,\"p50Ms\":%.4f,\"p99Ms\":%.4f,"
                "\"p9999Ms\":%.4f,\"maxMs\":%.4f,\"xruns\":%llu,\"p9999BudgetPercent\":%.2f}\n",
                elapsed, static_cast<unsigned long long>(times.total), budgetMs, ms(50), ms(99), p9999,
                info.maxCallbackMs, static_cast<unsigned long long>(info.xrunCount), p9999 / budgetMs * 100.0);
    std::fprintf(stderr, "callback_soak: %llu waveforms, %llu trims, %llu deck restarts, callbacks of %d frames\n",
                 static_cast<unsigned long long>(waveforms.load()), static_cast<unsigned long long>(trims.load()),
                 static_cast<unsigned long long>(restarts), info.bufferSize);

    if (analysisFailed) return fail("an analysis failed");
    if (info.bufferSize != kFrames) return fail("callbacks were not of 128 frames");
    // A run whose callback stopped proves nothing.
    if (static_cast<double>(times.total) < elapsed * kRate / kFrames * 0.9) return fail("too few callbacks");
    return 0;
}
