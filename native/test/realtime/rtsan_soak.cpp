// Runs the engine on a private JACK dummy server with every render marked as
// a real-time section for LLVM's real-time sanitizer, while a control thread
// cycles through every engine operation and a job thread keeps analyses going.
// Any allocation, lock or blocking call inside a render aborts the process.
//
//   rtsan_soak [--seconds N] [--decks N] [--negative]
//
// --negative installs an allocating probe inside the render: the run must die.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sndfile.h>

#include "analysis/trim.hpp"
#include "analysis/waveform.hpp"
#include "engine/audio_engine.hpp"
#include "realtime/realtime_check.hpp"
#include "support/jack_server.hpp"
#include "support/test_support.hpp"

using namespace velmora;
using Clock = std::chrono::steady_clock;

namespace {

void allocatingProbe() {
    // Escapes the optimiser so the allocation really happens.
    volatile char* leak = new char[64];
    leak[0] = 1;
    delete[] leak;
}

int fail(const char* what) {
    std::fprintf(stderr, "rtsan_soak: FAILED: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 20.0;
    int deckCount = 16;
    bool negative = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--decks") && i + 1 < argc) deckCount = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--negative")) negative = true;
    }

    test::JackServer server(256);
    if (!server.start(/*realtime=*/true)) return fail("jackd did not start");
    test::TempDir dir;
    const std::string shortPath = dir.file("short.wav");
    const std::string longPath = dir.file("long.wav");
    if (!test::writeWav(shortPath, test::makeSine(48000 * 3, 2, 44100, 440.0, 0.3), 2, 44100, SF_FORMAT_PCM_16) ||
        !test::writeWav(longPath, test::makeSine(48000 * 20, 2, 48000, 220.0, 0.3), 2, 48000, SF_FORMAT_FLOAT))
        return fail("fixtures");

    auto engine = std::make_shared<AudioEngine>();
    EngineConfig config;
    config.deviceId = test::jackDeviceId(*engine);
    engine->initialize(config);
    if (!engine->snapshotRuntimeInfo().streamOpen) return fail("no stream on the JACK dummy device");

    std::vector<std::string> ids;
    for (int d = 0; d < deckCount; ++d) ids.push_back("deck" + std::to_string(d));
    auto track = [&](int n) {
        TrackDescriptor t;
        t.id = "t" + std::to_string(n);
        // Every other deck streams: the duration alone chooses streaming.
        t.path = n % 2 ? longPath : shortPath;
        t.duration = n % 2 ? 600.0 : 0.0;
        t.cueIn = (n % 3) * 0.1;
        return t;
    };
    for (int d = 0; d < deckCount; ++d) {
        engine->createDeck(ids[d]);
        engine->loadTrack(ids[d], track(d));
        engine->play(ids[d]);
    }
    if (negative) realtime::renderProbe = &allocatingProbe;

    std::atomic<bool> running{true};
    std::atomic<std::uint64_t> jobs{0};
    std::thread jobThread([&] {
        int n = 0;
        while (running.load()) {
            TrackDescriptor t = track(n++);
            if (n % 2) analyzeTrackTrim(engine->trackCache(), t, 10.0, 0.3, 0.3);
            else computeWaveform(engine->currentSampleRate(), t, 400);
            jobs.fetch_add(1);
        }
    });

    std::mt19937 random(1234);
    std::uint64_t operations = 0;
    std::uint64_t reinitialisations = 0;
    const std::uint64_t startClock = engine->frameClock();
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    auto nextInitialize = Clock::now() + std::chrono::seconds(7);
    while (Clock::now() < end) {
        const std::string& id = ids[random() % ids.size()];
        switch (random() % 16) {
            case 0: engine->loadTrack(id, track(static_cast<int>(random() % 8))); break;
            case 1: engine->play(id); break;
            case 2: engine->pause(id); break;
            case 3: engine->stop(id, random() % 2); break;
            case 4: engine->seek(id, (random() % 3000) / 100.0); break;
            case 5: engine->setDeckVolume(id, (random() % 200) / 100.0); break;
            case 6: engine->setTrackGain(id, (random() % 200) / 100.0); break;
            case 7: engine->updateTrack(id, track(static_cast<int>(random() % 8)), random() % 2, random() % 2); break;
            case 8: engine->fadeTo(id, static_cast<std::int32_t>(random() % 400), (random() % 100) / 100.0); break;
            case 9: {
                OutputAssignment a;
                // Routing changes reopen the stream only when the channel
                // count moves; keep that rare so the run mostly renders.
                a.channelOffset = static_cast<std::int32_t>(random() % 2) * 2;
                engine->assignDeckOutput(id, a);
                break;
            }
            case 10:
                engine->deleteDeck(id);
                engine->createDeck(id);
                engine->loadTrack(id, track(static_cast<int>(random() % 8)));
                engine->play(id);
                break;
            case 11: engine->snapshotRuntimeInfo(); break;
            case 12: engine->getDeckState(id); break;
            default: engine->play(id); break;
        }
        ++operations;
        if (Clock::now() >= nextInitialize) {
            engine->initialize(config);
            ++reinitialisations;
            nextInitialize = Clock::now() + std::chrono::seconds(7);
        }
        if (operations % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    running = false;
    jobThread.join();
    const RuntimeInfo info = engine->snapshotRuntimeInfo();
    const std::uint64_t rendered = engine->frameClock() - startClock;
    engine->shutdown();

    std::printf("rtsan_soak: %.0f s, %d decks, %llu operations, %llu reinitialisations, %llu analyses, "
                "%llu frames rendered, stream open at end: %d\n",
                seconds, deckCount, static_cast<unsigned long long>(operations),
                static_cast<unsigned long long>(reinitialisations), static_cast<unsigned long long>(jobs.load()),
                static_cast<unsigned long long>(rendered), info.streamOpen ? 1 : 0);
    // Initialize resets the clock of the stream statistics but not the frame
    // clock; a run that rendered almost nothing proves nothing.
    if (rendered < static_cast<std::uint64_t>(seconds * 48000 * 0.5)) return fail("the render barely ran");
    if (operations < 1000) return fail("too few control operations");
    if (negative) return fail("the allocating probe went unnoticed");
    return 0;
}
