// Script-call latency while the engine retries a device it cannot open: the
// device thread runs PortAudio's initialisation and device probing on its
// backing-off schedule (at most every 500 ms once it has backed off), and the
// script thread's deck and runtime calls must not wait on it. No device opens
// here: ASIO mode never finds one on Linux, and JACK is pointed at a server
// that does not exist. Attempts are counted at Pa_Initialize, which the link
// wraps (the log says a repeated failure only once). Prints one JSON line.
//
//   retry_latency_bench [--seconds N]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <portaudio.h>
#include <unistd.h>

#include <atomic>

#include "engine/audio_engine.hpp"
#include "engine/logger.hpp"
#include "realtime/time_histogram.hpp"

using namespace velmora;
using Clock = std::chrono::steady_clock;

namespace {
std::atomic<std::uint64_t> initializations{0};
}

extern "C" PaError __real_Pa_Initialize(void);
extern "C" PaError __wrap_Pa_Initialize(void) {
    ++initializations;
    return __real_Pa_Initialize();
}

int main(int argc, char** argv) {
    double seconds = 20.0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "retry_latency_bench: unknown argument %s\n", argv[i]);
            return 1;
        }
    }
    setenv("JACK_DEFAULT_SERVER", ("velmora-absent-" + std::to_string(getpid())).c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    // The engine's log goes to a file, kept out of the JSON line.
    char logPath[] = "/tmp/velmora-retry-log-XXXXXX";
    const int logFd = mkstemp(logPath);
    const int resultOut = dup(STDOUT_FILENO);
    dup2(logFd, STDOUT_FILENO);

    int status = 0;
    TimeHistogram times;
    std::uint64_t calls = 0, maxNs = 0;
    double elapsed = 0.0;
    {
        AudioEngine engine;
        EngineConfig config;
        config.backend = "asio";
        engine.initialize(config);
        const char* decks[] = {"a", "b", "c", "d"};
        for (const char* deck : decks) engine.createDeck(deck);

        // What a UI does every frame: read states and runtime information and
        // touch a few parameters, with a short pause between calls.
        auto call = [&](std::uint64_t n) {
            const std::string deck = decks[n % 4];
            switch (n % 8) {
                case 0: engine.snapshotRuntimeInfo(); break;
                case 1: engine.getDeckState(deck); break;
                case 2: engine.setDeckVolume(deck, 0.5 + 0.1 * static_cast<double>(n % 5)); break;
                case 3: engine.play(deck); break;
                case 4: engine.seek(deck, 0.0); break;
                case 5: engine.fadeTo(deck, 100, 0.8); break;
                case 6: engine.pause(deck); break;
                default: engine.getDeckState(deck); break;
            }
        };
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            const auto before = Clock::now();
            call(calls++);
            const auto ns = static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before).count());
            times.record(ns);
            maxNs = std::max(maxNs, ns);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (engine.snapshotRuntimeInfo().streamOpen) status = 2;  // a device opened: not this measurement
        engine.shutdown();
    }
    flushLog(std::chrono::seconds(5));
    std::fflush(stdout);
    dup2(resultOut, STDOUT_FILENO);
    close(resultOut);

    const std::uint64_t attempts = initializations.load();
    close(logFd);
    unlink(logPath);

    const TimeHistogram::Snapshot snapshot = times.snapshot();
    // A percentile is its bucket's upper edge; none can exceed the exact maximum.
    const auto us = [&](double percent) {
        return std::min(snapshot.percentileNs(percent), static_cast<double>(maxNs)) / 1e3;
    };
    std::printf("{\"seconds\":%.1f,\"calls\":%llu,\"attempts\":%llu,\"p50Us\":%.1f,\"p99Us\":%.1f,"
                "\"p999Us\":%.1f,\"maxUs\":%.1f}\n",
                elapsed, static_cast<unsigned long long>(calls), static_cast<unsigned long long>(attempts),
                us(50), us(99), us(99.9), static_cast<double>(maxNs) / 1e3);
    if (status == 2) std::fprintf(stderr, "retry_latency_bench: a device opened; the figures are not of retries\n");
    // A run in which the engine never retried measured nothing.
    if (attempts < static_cast<std::uint64_t>(elapsed)) {
        std::fprintf(stderr, "retry_latency_bench: only %llu open attempts\n",
                     static_cast<unsigned long long>(attempts));
        status = 3;
    }
    return status;
}
