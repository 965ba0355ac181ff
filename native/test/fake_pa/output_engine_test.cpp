// The output subsystem against a scripted PortAudio.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "engine/output_policy.hpp"
#include "platform/asio.hpp"
#include "fake_portaudio.hpp"
#include "engine/logger.hpp"
#include "support/deck_harness.hpp"
#include "support/engine_access.hpp"

namespace velmora {
namespace {

using Access = AudioEngineTestAccess;

template <typename Predicate>
bool waitFor(Predicate predicate, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return predicate();
}

fakepa::Device device(const char* name, int hostApi, int outputs) {
    fakepa::Device d;
    d.name = name;
    d.hostApi = hostApi;
    d.maxOutputChannels = outputs;
    return d;
}

// Host APIs: 0 ALSA, 1 ASIO, 2 missing information.
// Devices: 0 input only, 1 mono, 2 stereo (default), 3 sixteen outputs,
// 4 ASIO A, 5 ASIO B, 6 no device info, 7 host info missing.
fakepa::Machine studio() {
    fakepa::Machine m;
    m.hostApis = {fakepa::HostApi{paALSA, "ALSA", false}, fakepa::HostApi{paASIO, "ASIO", false},
                  fakepa::HostApi{paALSA, std::nullopt, true}};
    m.devices = {device("Mic", 0, 0),    device("Mono", 0, 1),  device("Stereo", 0, 2), device("Multi", 0, 16),
                 device("AsioA", 1, 8), device("AsioB", 1, 2), device("Ghost", 0, 2),  device("Orphan", 2, 2)};
    m.devices[6].infoMissing = true;
    m.defaultOutput = 2;
    return m;
}

// Holds threads until opened. Hooks share it: a device thread may leave one
// after its test returns.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool opened = false;
    void open() {
        std::lock_guard lock(mutex);
        opened = true;
        changed.notify_all();
    }
    bool wait(std::chrono::milliseconds limit = std::chrono::minutes(10)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return opened; });
    }
};

class OutputEngineTest : public ::testing::Test {
protected:
    void SetUp() override { fakepa::reset(studio()); }
    void TearDown() override { engine.reset(); }

    // Opens with the config and returns what was logged.
    std::string openLogged(const EngineConfig& config, bool* opened = nullptr) {
        testing::internal::CaptureStdout();
        const bool result = Access::open(*engine, config);
        if (opened != nullptr) *opened = result;
        flushLog(std::chrono::seconds(5));  // the log is written by its own thread
        return testing::internal::GetCapturedStdout();
    }
    // Starts the engine on the stereo device, logging; false if no stream opened.
    bool startLogged() {
        testing::internal::CaptureStdout();
        engine->initialize(cfg("standard", "2"));
        return waitFor([&] { return engine->snapshotRuntimeInfo().streamOpen; }, 2000);
    }
    // Shuts the engine down and returns what was logged since CaptureStdout.
    std::string shutdownLogged() {
        engine->shutdown();
        flushLog(std::chrono::seconds(5));
        return testing::internal::GetCapturedStdout();
    }
    EngineConfig cfg(const std::string& backend, const std::string& deviceId, int rate = 48000,
                     int buffer = 256) {
        EngineConfig c;
        c.backend = backend;
        c.deviceId = deviceId;
        c.sampleRate = rate;
        c.bufferSize = buffer;
        return c;
    }
    std::unique_ptr<AudioEngine> engine = std::make_unique<AudioEngine>();
};

TEST(OutputPolicy, DeviceIdsReadLikeStringToInt) {
    const struct { const char* text; std::optional<std::int32_t> index; } cases[] = {
        {"3", 3}, {"3x", 3}, {"  7", 7}, {"+2", 2}, {"-1", -1}, {"abc", std::nullopt},
        {"", std::nullopt}, {"2147483647", 2147483647}, {"2147483648", std::nullopt},
        {"99999999999999999999", std::nullopt}, {"x3", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parseDeviceIndex(c.text), c.index) << c.text;
}

TEST(OutputPolicy, AsioBufferSizeChoice) {
    const struct { std::int32_t request; bool ok; long min, max, granularity; std::int32_t expected; } cases[] = {
        {100, true, 64, 2048, -1, 128},  {64, true, 64, 2048, -1, 64},    {4000, true, 64, 2048, -1, 2048},
        {10, true, 64, 2048, -1, 64},    {100, true, 64, 1500, -1, 128},  {1400, true, 64, 1500, -1, 1500},
        {100, true, 64, 2048, 32, 128},  {96, true, 64, 2048, 32, 96},    {4000, true, 64, 2048, 32, 2048},
        {100, true, 64, 2048, 0, 100},   {100, true, 64, 2048, -2, 100},  {5000, true, 64, 2048, 0, 2048},
        {100, false, 64, 2048, -1, 100}, {100, true, 0, 2048, -1, 100},   {100, true, 512, 256, -1, 100},
        {0, false, 0, 0, 0, 1},          {-5, true, 64, 2048, 32, 64},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chooseAsioBufferSize(c.request, AsioBufferSizes{c.ok, c.min, c.max, 0, c.granularity}), c.expected)
            << c.request << " ok " << c.ok << " min " << c.min << " max " << c.max << " g " << c.granularity;
}

// Every field of a listed device, so that a failure shows the whole entry.
std::string describe(const DeviceInfo& d) {
    std::ostringstream out;
    out << d.id << " '" << d.name << "' " << d.channels << "ch " << d.backend << (d.isDefault ? " default" : "")
        << (d.isAsio ? " isAsio" : "") << " host '" << d.hostApiName << "' " << d.defaultSampleRate << " "
        << d.defaultLowOutputLatencyMs << "-" << d.defaultHighOutputLatencyMs << "ms rates";
    for (const std::int32_t rate : d.supportedSampleRates) out << " " << rate;
    out << " buffers " << d.asioMinBufferSize << "/" << d.asioMaxBufferSize << "/" << d.asioPreferredBufferSize
        << "/" << d.asioGranularity;
    return out.str();
}

// Also: a device and host API without names are listed and open.
TEST_F(OutputEngineTest, EnumeratesStandardDevices) {
    fakepa::machine().devices[2].name = std::nullopt;
    fakepa::machine().devices[3].refusedRates = {88200, 176400};
    fakepa::machine().hostApis[0].name = std::nullopt;
    const auto list = engine->enumerateDevices("standard");
    // Mono, stereo, multi; the mono device is probed with two channels, which it refuses.
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(describe(list[0]), "1 'Host - Mono' 2ch standard host '' 48000 5-20ms rates buffers 0/0/0/0");
    EXPECT_EQ(describe(list[1]), "2 'Host - Périphérique' 2ch standard default host '' 48000 5-20ms "
                                 "rates 44100 48000 88200 96000 176400 192000 buffers 0/0/0/0");
    EXPECT_EQ(describe(list[2]), "3 'Host - Multi' 16ch standard host '' 48000 5-20ms "
                                 "rates 44100 48000 96000 192000 buffers 0/0/0/0");
    EXPECT_EQ(fakepa::initializeCount(), 0);
    EXPECT_TRUE(Access::open(*engine, cfg("standard", "")));
}

TEST_F(OutputEngineTest, EnumeratesAsioDevicesWithDriverBufferSizes) {
    fakepa::machine().devices[4].asioMin = -3;
    fakepa::machine().devices[4].asioGranularity = -1;
    fakepa::machine().devices[5].asioResult = paInternalError;
    const auto list = engine->enumerateDevices("asio");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(describe(list[0]), "4 'ASIO - AsioA' 8ch asio isAsio host 'ASIO' 48000 5-20ms "
                                 "rates 44100 48000 88200 96000 176400 192000 buffers 0/2048/256/-1");
    EXPECT_EQ(describe(list[1]), "5 'ASIO - AsioB' 2ch asio isAsio host 'ASIO' 48000 5-20ms "
                                 "rates 44100 48000 88200 96000 176400 192000 buffers 0/0/0/0");
}

// No device, or no PortAudio: one stand-in entry, except for ASIO without devices.
TEST_F(OutputEngineTest, SyntheticDeviceLists) {
    auto broken = studio();
    broken.initializeError = paUnanticipatedHostError;
    const struct { fakepa::Machine machine; const char* backend; const char* listed; } cases[] = {
        {fakepa::Machine{}, "standard",
         "default 'Sortie standard (fallback interne)' 2ch standard default host '' 48000 0-0ms rates buffers 0/0/0/0"},
        {fakepa::Machine{}, "asio", ""},
        {broken, "asio", "asio-unavailable 'PortAudio indisponible' 2ch asio default host '' 48000 0-0ms rates buffers 0/0/0/0"},
        {broken, "ASIO", "default 'PortAudio indisponible' 2ch ASIO default host '' 48000 0-0ms rates buffers 0/0/0/0"},
    };
    for (const auto& c : cases) {
        fakepa::reset(c.machine);
        std::string listed;
        for (const DeviceInfo& device : engine->enumerateDevices(c.backend)) listed += describe(device);
        EXPECT_EQ(listed, c.listed) << c.backend;
    }
}

TEST_F(OutputEngineTest, ResolvesDevices) {
    const struct { const char* backend; const char* deviceId; int device; const char* log; } cases[] = {
        {"standard", "default", 2, ""}, {"standard", "", 2, ""}, {"standard", "abc", 2, ""},
        {"standard", "3", 3, ""},       {"standard", "3x", 3, ""}, {"standard", " 3", 3, ""},
        {"standard", "1", 2, ""},   // mono: falls back to the default
        {"standard", "0", 2, ""},   // input only
        {"standard", "6", 2, ""},   // no information
        {"standard", "7", 2, ""},   // no host API information
        {"standard", "42", 2, ""},
        {"standard", "4", 4, ""},   // an explicit ASIO device is accepted in standard mode
        {"asio", "5", 5, ""},
        {"asio", "default", 4, "[ASIO] Device re-resolved by fallback: index 4 -> \"AsioA\"\n"},
        {"asio", "3", 4, "[ASIO] Device re-resolved by fallback: index 4 -> \"AsioA\"\n"},
    };
    for (const auto& c : cases) {
        fakepa::reset(studio());
        bool opened = false;
        const std::string log = openLogged(cfg(c.backend, c.deviceId), &opened);
        EXPECT_TRUE(opened) << c.backend << " " << c.deviceId;
        EXPECT_EQ(fakepa::lastOpened().output.device, c.device) << c.backend << " " << c.deviceId;
        EXPECT_EQ(log.substr(0, log.find("Opening")), c.log) << c.backend << " " << c.deviceId;
        Access::close(*engine);
    }
}

TEST_F(OutputEngineTest, OpenFailuresLogAndReport) {
    auto with = [](auto change) { auto m = studio(); change(m); return m; };
    // The log line is the error with the failing call's name, if any, before it.
    const struct { fakepa::Machine machine; const char* backend; const char* call; const char* error;
                   const char* hostApi; } cases[] = {
        {with([](auto& m) { m.initializeError = paUnanticipatedHostError; }), "standard", "Pa_Initialize",
         "Unanticipated host error", ""},
        {with([](auto& m) { m.defaultOutput = paNoDevice; }), "standard", "", "No output device available.", ""},
        {with([](auto& m) { m.defaultOutput = 6; }), "standard", "", "Invalid output device.", ""},
        {with([](auto& m) { m.defaultOutput = 7; }), "standard", "", "Invalid host API.", ""},
        {with([](auto& m) { m.hostApis[1].type = paALSA; }), "asio", "", "Selected device is not an ASIO device.",
         ""},
        {with([](auto& m) { m.defaultOutput = 1; }), "standard", "", "Device has less than 2 output channels.",
         "ALSA"},
        {with([](auto& m) { m.devices[2].onlyRate = 12345; m.devices[2].defaultSampleRate = 12000; }),
         "standard", "Pa_IsFormatSupported", "Invalid sample rate", "ALSA"},
        {with([](auto& m) { m.openError = paDeviceUnavailable; }), "standard", "Pa_OpenStream", "Device unavailable",
         "ALSA"},
        {with([](auto& m) { m.openReturnsNullStream = true; }), "standard", "Pa_OpenStream",
         "Internal PortAudio error", "ALSA"},
        {with([](auto& m) { m.startError = paUnanticipatedHostError; }), "standard", "Pa_StartStream",
         "Unanticipated host error", "ALSA"},
    };
    for (const auto& c : cases) {
        fakepa::reset(c.machine);
        engine = std::make_unique<AudioEngine>();
        engine->assignDeckOutput("a", OutputAssignment{});
        bool opened = true;
        const std::string log = openLogged(cfg(c.backend, "default"), &opened);
        EXPECT_FALSE(opened) << c.error;
        const std::string opening = log.find("Opening") == std::string::npos ? "" : log.substr(log.find("\n") + 1);
        EXPECT_EQ(log.find("Opening") == std::string::npos ? log : opening,
                  std::string(c.call) + (*c.call ? " ERROR: " : "") + c.error + "\n");
        const RuntimeInfo info = engine->snapshotRuntimeInfo();
        EXPECT_EQ(info.lastError, c.error);
        EXPECT_EQ(info.streamHealth, "stopped");
        EXPECT_FALSE(info.streamOpen);
        EXPECT_EQ(info.activeHostApiName, c.hostApi);
        EXPECT_EQ(fakepa::initializeCount(), 0) << c.error;
        EXPECT_FALSE(fakepa::streamExists()) << c.error;
    }
}

TEST_F(OutputEngineTest, OpensWithItsParameters) {
    fakepa::machine().devices[3].defaultLowOutputLatency = 0.0071;
    OutputAssignment routing;
    routing.channelOffset = 8;
    engine->assignDeckOutput("a", routing);
    bool opened = false;
    const std::string log = openLogged(cfg("standard", "3", 48000, 32), &opened);
    ASSERT_TRUE(opened);
    EXPECT_NE(log.find("Pa_StartStream OK (callback stream, backend=standard)\n"), std::string::npos) << log;
    const auto& opened_ = fakepa::lastOpened();
    EXPECT_EQ(opened_.output.channelCount, 10);
    EXPECT_EQ(opened_.output.sampleFormat, paFloat32);
    EXPECT_DOUBLE_EQ(opened_.output.suggestedLatency, 0.0071);
    EXPECT_EQ(opened_.framesPerBuffer, 64u);
    EXPECT_EQ(fakepa::initializeCount(), 1);

    RuntimeInfo info = engine->snapshotRuntimeInfo();
    EXPECT_EQ(info.streamHealth, "ok");
    EXPECT_EQ(info.channels, 10);
    EXPECT_EQ(info.requestedBufferSize, 64);
    EXPECT_EQ(info.bufferSize, 64);
    EXPECT_DOUBLE_EQ(info.outputLatencyMs, 12.0);
    EXPECT_EQ(info.activeDeviceName, "Multi");
    EXPECT_DOUBLE_EQ(info.streamCpuLoadPercent, 25.0);

    Access::close(*engine);
    EXPECT_EQ(fakepa::initializeCount(), 0);
    EXPECT_EQ(fakepa::closeCount(), 1);
    info = engine->snapshotRuntimeInfo();
    EXPECT_EQ(info.streamHealth, "stopped");
    EXPECT_EQ(info.activeDeviceName, "");
    EXPECT_TRUE(info.streamStopped);
}

TEST_F(OutputEngineTest, ChoosesTheSampleRate) {
    const struct { int requested; std::optional<int> only; std::set<int> refused; double deviceDefault;
                   const char* backend; int chosen; } cases[] = {
        {48000, 44100, {}, 44100.0, "standard", 44100},
        {48000, std::nullopt, {48000}, 44100.4, "standard", 44100},
        {0, std::nullopt, {}, 48000.0, "standard", 8000},
        {0, std::nullopt, {8000}, 22050.0, "standard", 22050},
        {50000, std::nullopt, {50000, 44100}, 44100.0, "standard", 48000},
        {48000, 88200, {}, 12.0, "standard", 88200},
        {12345, 44100, {}, 44100.0, "asio", 12345},  // ASIO: no probing
    };
    for (const auto& c : cases) {
        auto m = studio();
        m.devices[2].onlyRate = c.only;
        m.devices[2].refusedRates = c.refused;
        m.devices[2].defaultSampleRate = c.deviceDefault;
        m.hostApis[0].type = std::string(c.backend) == "asio" ? paASIO : paALSA;
        m.hostApis[1].type = paALSA;
        fakepa::reset(m);
        openLogged(cfg(c.backend, "2", c.requested));
        EXPECT_EQ(Access::config(*engine).sampleRate, c.chosen) << c.requested;
        if (std::string(c.backend) != "asio") {
            EXPECT_DOUBLE_EQ(fakepa::lastOpened().sampleRate, c.chosen);
        }
        Access::close(*engine);
    }
}

TEST_F(OutputEngineTest, AsioOpenUsesTheDriverBufferSize) {
    fakepa::machine().devices[4].asioGranularity = 32;
    bool opened = false;
    openLogged(cfg("asio", "4", 48000, 100), &opened);
    ASSERT_TRUE(opened);
    EXPECT_EQ(fakepa::lastOpened().framesPerBuffer, 128u);
    EXPECT_DOUBLE_EQ(fakepa::lastOpened().output.suggestedLatency, 0.0);
    EXPECT_EQ(Access::config(*engine).bufferSize, 128);
    EXPECT_EQ(engine->snapshotRuntimeInfo().requestedBufferSize, 128);
}

TEST_F(OutputEngineTest, LinuxHasNoAsio) {
    fakepa::Machine plain;
    plain.devices = {device("Speakers", 0, 2)};
    plain.defaultOutput = 0;
    fakepa::reset(plain);
    velmora::platform::setAsioBufferSizeQuery(nullptr);
    long a = 0, b = 0, c = 0, d = 0;
    EXPECT_NE(platform::asioGetAvailableBufferSizes(4, &a, &b, &c, &d), 0);
    EXPECT_TRUE(engine->enumerateDevices("asio").empty());
    openLogged(cfg("asio", "default"));
    EXPECT_EQ(engine->snapshotRuntimeInfo().lastError, "Selected device is not an ASIO device.");
}

TEST_F(OutputEngineTest, CallbackCountsXrunsAndRefusesEmptyBuffers) {
    ASSERT_TRUE(Access::open(*engine, cfg("standard", "2")));
    std::vector<float> out(8192 * 2, 1.0f);
    // Every buffer is silent (no deck); an empty one counts as an xrun.
    const struct { unsigned long frames; PaStreamCallbackFlags flags; std::uint64_t xruns; } cases[] = {
        {256, 0, 0}, {256, paOutputUnderflow, 1}, {256, paOutputOverflow, 1}, {256, paInputOverflow, 0},
        {256, paOutputUnderflow | paOutputOverflow, 1}, {0, 0, 1},
    };
    std::uint64_t expected = 0;
    for (const auto& c : cases) {
        std::fill(out.begin(), out.end(), 1.0f);
        EXPECT_EQ(fakepa::runCallback(out.data(), c.frames, c.flags, nullptr), paContinue);
        expected += c.xruns;
        EXPECT_EQ(engine->snapshotRuntimeInfo().xrunCount, expected) << c.frames << " " << c.flags;
        for (unsigned long i = 0; i < c.frames * 2; ++i) ASSERT_EQ(out[i], 0.0f);
        EXPECT_EQ(out[c.frames * 2], 1.0f);
    }
    EXPECT_EQ(engine->snapshotRuntimeInfo().streamHealth, "warning");
}

// A device buffer above the render's 4096 frames is rendered in slices: the
// same audio, limiter counts and meters as the same frames in smaller
// buffers, and no xrun.
TEST_F(OutputEngineTest, CallbackRendersLargeBuffersInSlices) {
    struct Run { std::vector<float> out; RuntimeInfo info; DeckState deck; };
    // Louder and louder, so that each slice has its own limiter gain.
    std::vector<float> samples(20000 * 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>((1.0 + i / 20000.0) * std::sin(i * 0.01));
    auto run = [&](const std::vector<unsigned long>& callbacks) {
        fakepa::reset(studio());
        engine = std::make_unique<AudioEngine>();
        EXPECT_TRUE(Access::open(*engine, cfg("standard", "2", 48000, 10000)));
        Access::loadPcm(*engine, "A", test::makePcm(48000, 2, samples), TrackDescriptor{});
        engine->play("A");
        engine->stopThreads();
        Run r;
        for (const unsigned long frames : callbacks) {
            std::vector<float> out(frames * 2, 1.0f);
            EXPECT_EQ(fakepa::runCallback(out.data(), frames, 0, nullptr), paContinue);
            r.out.insert(r.out.end(), out.begin(), out.end());
        }
        r.info = engine->snapshotRuntimeInfo();
        r.deck = engine->getDeckState("A");
        return r;
    };
    const Run whole = run({10000});
    const Run sliced = run({4096, 4096, 1808});
    ASSERT_EQ(whole.out.size(), sliced.out.size());
    for (std::size_t i = 0; i < whole.out.size(); ++i) ASSERT_EQ(whole.out[i], sliced.out[i]) << "sample " << i;
    EXPECT_NE(whole.out[9999 * 2], 0.0f);
    EXPECT_EQ(whole.info.xrunCount, 0U);
    EXPECT_EQ(whole.info.limiterEngagedCount, 3U);
    EXPECT_EQ(sliced.info.limiterEngagedCount, 3U);
    EXPECT_TRUE(whole.deck.playing);
    EXPECT_DOUBLE_EQ(whole.deck.positionSeconds, 10000.0 / 48000);
    EXPECT_EQ(whole.deck.meter.peakL, sliced.deck.meter.peakL);
    EXPECT_EQ(whole.deck.meter.rmsR, sliced.deck.meter.rmsR);
}

TEST_F(OutputEngineTest, CallbackTimingStatistics) {
    ASSERT_TRUE(Access::open(*engine, cfg("standard", "2")));
    std::vector<float> out(512 * 2);
    PaStreamCallbackTimeInfo time{};
    time.currentTime = 10.0;
    time.outputBufferDacTime = 10.0042;
    fakepa::runCallback(out.data(), 480, 0, &time);
    RuntimeInfo info = engine->snapshotRuntimeInfo();
    EXPECT_NEAR(info.outputLatencyMs, 4.2, 1e-9);
    EXPECT_EQ(info.bufferSize, 480);
    EXPECT_EQ(info.requestedBufferSize, 256);
    EXPECT_GT(info.avgCallbackMs, 0.0);
    EXPECT_DOUBLE_EQ(info.avgCallbackMs, info.maxCallbackMs);  // the first sets both
    const double first = info.avgCallbackMs;
    time.outputBufferDacTime = 9.0;
    for (int i = 0; i < 50; ++i) fakepa::runCallback(out.data(), 480, 0, &time);
    info = engine->snapshotRuntimeInfo();
    EXPECT_EQ(info.outputLatencyMs, 0.0);
    EXPECT_GE(info.maxCallbackMs, first);
    EXPECT_LE(info.avgCallbackMs, info.maxCallbackMs);
    EXPECT_EQ(info.callbackOverloadCount, 0u);
    // Every timed callback lands in the histogram; its top bucket holds the maximum.
    const TimeHistogram::Snapshot times = engine->callbackTimes();
    EXPECT_EQ(times.total, 51u);
    EXPECT_GE(times.percentileNs(100) / 1e6, info.maxCallbackMs);
    EXPECT_LE(times.percentileNs(100) / 1e6, info.maxCallbackMs * (1.0 + 1.0 / 64) + 1e-6);
    // A rate so high that any callback overruns its budget.
    Access::setSampleRate(*engine, 2'000'000'000);
    fakepa::runCallback(out.data(), 64, 0, &time);
    EXPECT_EQ(engine->snapshotRuntimeInfo().callbackOverloadCount, 1u);
    EXPECT_EQ(engine->snapshotRuntimeInfo().streamHealth, "warning");
    // initialize starts every statistic afresh.
    engine->initialize(cfg("standard", "2"));
    info = engine->snapshotRuntimeInfo();
    EXPECT_EQ(info.maxCallbackMs, 0.0);
    EXPECT_EQ(info.callbackOverloadCount, 0u);
    EXPECT_EQ(engine->callbackTimes().total, 0u);
}

TEST_F(OutputEngineTest, HealthVerdicts) {
    const char* inactive = "Le driver audio a ouvert le flux mais il n'est plus actif.";
    const struct { int active; int stopped; const char* health; const char* error; } cases[] = {
        {1, 0, "ok", ""}, {0, 1, "error", inactive}, {1, 1, "error", inactive},
        {paInternalError, 0, "error", "Internal PortAudio error"},
        {1, paBadStreamPtr, "error", "Invalid stream pointer"},
        {paInternalError, paBadStreamPtr, "error", "Internal PortAudio error"},
    };
    for (const auto& c : cases) {
        fakepa::reset(studio());
        ASSERT_TRUE(Access::open(*engine, cfg("standard", "2")));
        fakepa::setStreamState(c.active, c.stopped);
        const RuntimeInfo info = engine->snapshotRuntimeInfo();
        EXPECT_EQ(info.streamHealth, c.health) << c.active << " " << c.stopped;
        EXPECT_EQ(info.lastError, c.error) << c.active << " " << c.stopped;
        EXPECT_TRUE(info.streamOpen);
        fakepa::setStreamState(0, 1);
        Access::close(*engine);
    }
}

// The server's shutdown notice (a stream neither active nor stopped): the
// device thread closes the stream and terminates PortAudio at once, retries
// with PortAudio initialised afresh on a backing-off schedule, quietly, and
// plays again soon after the server returns. Script calls never wait.
TEST_F(OutputEngineTest, ALostServerIsReachedAgainWhenItReturns) {
    ASSERT_TRUE(startLogged());
    std::vector<float> out(256 * 2);
    for (int i = 0; i < 3; ++i) fakepa::runCallback(out.data(), 256, 0, nullptr);

    fakepa::setServerDown(true);
    fakepa::setStreamState(0, 0);
    EXPECT_TRUE(waitFor([&] { return !engine->snapshotRuntimeInfo().streamOpen; }, 500));
    EXPECT_TRUE(waitFor([&] { return fakepa::closeCount() == 1 && fakepa::initializeCount() == 0; }, 500));
    const int before = fakepa::initializeCalls();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // 50 ms apart at first, then at most 500 ms: a fixed 50 ms would be ~30.
    const int attempts = fakepa::initializeCalls() - before;
    EXPECT_GE(attempts, 3);
    EXPECT_LE(attempts, 8);

    const auto start = std::chrono::steady_clock::now();
    const EngineConfig returned = engine->initialize(cfg("standard", "2", 44100));
    const RuntimeInfo during = engine->snapshotRuntimeInfo();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(returned.sampleRate, 44100);
    EXPECT_EQ(during.lastError, "No output device available.");
    EXPECT_EQ(during.streamHealth, "stopped");

    fakepa::setServerDown(false);
    EXPECT_TRUE(waitFor([&] { return engine->snapshotRuntimeInfo().streamHealth == "ok"; }, 1000));
    EXPECT_EQ(fakepa::initializeCount(), 1);
    const std::string log = shutdownLogged();
    auto count = [&log](const std::string& line) {
        size_t n = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("Output stream stopped by its driver; reopening.\n"), 1u) << log;
    EXPECT_EQ(count("No output device available.\n"), 1u) << log;
    EXPECT_EQ(count("Pa_StartStream OK"), 2u) << log;
}

// Callbacks that stop for several buffer periods lose the stream too; one
// that never called back is left alone (some hosts start late).
TEST_F(OutputEngineTest, ASilentStreamIsReopened) {
    for (const bool calledBack : {true, false}) {
        fakepa::reset(studio());
        engine = std::make_unique<AudioEngine>();
        ASSERT_TRUE(startLogged());
        std::vector<float> out(256 * 2);
        if (calledBack) fakepa::runCallback(out.data(), 256, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        const std::string log = shutdownLogged();
        EXPECT_EQ(fakepa::openCount(), calledBack ? 2 : 1) << log;
        EXPECT_EQ(log.find("Output stream silent for ") != std::string::npos, calledBack) << log;
    }
}

// With the system's PortAudio, closing a stream whose JACK server died waits
// for minutes and terminating aborts: the stream is closed on a thread of its
// own, PortAudio is never terminated again, and nothing waits on it.
TEST_F(OutputEngineTest, WithTheSystemLibraryALostServerIsLeftAlone) {
    fakepa::Machine& m = fakepa::machine();
    m.hostApis[0].type = paJACK;
    m.survivesServerDeath = false;
    // Far above what load adds to a call, so a call that waits on it shows.
    m.lostStreamStopMs = 2000;
    ASSERT_TRUE(startLogged());
    fakepa::machine().openError = paDeviceUnavailable;  // its dead client opens nothing
    fakepa::setStreamState(0, 0);
    EXPECT_TRUE(waitFor([&] { return !engine->snapshotRuntimeInfo().streamOpen; }, 500));
    int lowest = fakepa::initializeCount();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
    auto slowest = std::chrono::steady_clock::duration::zero();
    while (std::chrono::steady_clock::now() < deadline) {
        const auto start = std::chrono::steady_clock::now();
        engine->snapshotRuntimeInfo();
        engine->enumerateDevices("standard");
        engine->initialize(cfg("standard", "2"));
        slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
        lowest = std::min(lowest, fakepa::initializeCount());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    shutdownLogged();
    EXPECT_LT(slowest, std::chrono::milliseconds(1000));
    EXPECT_GE(lowest, 1);
    // The lost stream is closed on the device thread once its stop returns.
    waitFor([] { return fakepa::closeCount() > 0; }, 5000);
    EXPECT_EQ(fakepa::closeCount(), 1);
    EXPECT_EQ(fakepa::overlappingCalls(), 0);
    EXPECT_EQ(engine->snapshotRuntimeInfo().streamHealth, "stopped");
}

// A routing the device cannot carry keeps the stream with the channels the
// device has: the other decks play on, and the runtime and the deck say why.
TEST_F(OutputEngineTest, RoutingBeyondTheDeviceKeepsTheOutput) {
    const std::string problem = "Requested 4 output channels, but the device exposes only 2.";
    auto constant = [](float left, float right) {
        std::vector<float> samples;
        for (int i = 0; i < 48000; ++i) samples.insert(samples.end(), {left, right});
        return test::makePcm(48000, 2, std::move(samples));
    };
    Access::loadPcm(*engine, "a", constant(0.5f, 0.25f), TrackDescriptor{});
    Access::loadPcm(*engine, "b", constant(0.125f, 0.125f), TrackDescriptor{});
    OutputAssignment far;
    far.channelOffset = 2;
    OutputAssignment near;
    EXPECT_EQ(engine->assignDeckOutput("b", far).lastError, "");

    bool opened = false;
    const std::string log = openLogged(cfg("standard", "2"), &opened);
    ASSERT_TRUE(opened);
    EXPECT_EQ(log.substr(0, log.find('\n') + 1), problem + "\n");
    EXPECT_EQ(fakepa::lastOpened().output.channelCount, 2);
    RuntimeInfo info = engine->snapshotRuntimeInfo();
    EXPECT_TRUE(info.streamOpen);
    EXPECT_EQ(info.lastError, problem);
    EXPECT_EQ(info.channels, 4);
    EXPECT_EQ(engine->getDeckState("b").lastError, problem);
    EXPECT_EQ(engine->play("a").lastError, "");
    const DeckState b = engine->play("b");
    EXPECT_TRUE(b.playing);
    EXPECT_EQ(b.lastError, problem);

    // Deck a is heard; b's channels are not rendered, and nothing is written
    // past the device's two channels.
    std::vector<float> out(512 * 2 + 16, 9.0f);
    fakepa::runCallback(out.data(), 512, 0, nullptr);
    EXPECT_FLOAT_EQ(out[400 * 2], 0.5f);
    EXPECT_FLOAT_EQ(out[400 * 2 + 1], 0.25f);
    for (std::size_t i = 512 * 2; i < out.size(); ++i) ASSERT_EQ(out[i], 9.0f) << i;

    // Routings that fit clear both reports, and going beyond again keeps the
    // stream too: no reopen either way.
    const int opens = fakepa::openCount();
    EXPECT_EQ(engine->assignDeckOutput("b", near).lastError, "");
    info = engine->snapshotRuntimeInfo();
    EXPECT_EQ(info.lastError, "");
    EXPECT_EQ(info.streamHealth, "ok");
    EXPECT_EQ(engine->assignDeckOutput("b", far).lastError, problem);
    EXPECT_EQ(engine->snapshotRuntimeInfo().lastError, problem);
    EXPECT_EQ(engine->getDeckState("a").lastError, "");
    EXPECT_EQ(fakepa::openCount(), opens);
    EXPECT_TRUE(fakepa::streamExists());
}

// The device thread starts and probes PortAudio without the engine lock:
// script calls, initialize and shutdown too, go on while that start-up hangs.
TEST_F(OutputEngineTest, ScriptCallsDoNotWaitForADeviceProbe) {
    struct Probe { std::atomic<bool> armed{false}; Gate probing, released; };
    const auto probe = std::make_shared<Probe>();
    fakepa::Machine noDevice;
    noDevice.initializeHook = [probe] {
        if (!probe->armed) return;
        probe->probing.open();
        probe->released.wait();
    };
    fakepa::reset(noDevice);
    engine->initialize(EngineConfig{});
    probe->armed = true;
    const bool probed = probe->probing.wait(std::chrono::seconds(5));
    auto calls = std::async(std::launch::async, [&] {
        engine->initialize(EngineConfig{});
        engine->createDeck("a");
        engine->setDeckVolume("a", 0.5);
        engine->play("a");
        engine->getDeckState("a");
        engine->snapshotRuntimeInfo();
        OutputAssignment wide;
        wide.channelOffset = 4;
        engine->assignDeckOutput("a", wide);
        engine->shutdown();
    });
    const bool answered = calls.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    probe->released.open();
    probe->armed = false;
    calls.wait();
    engine->shutdown();
    EXPECT_TRUE(probed);
    EXPECT_TRUE(answered) << "a script call waited for the device probe";
}

TEST_F(OutputEngineTest, UnloadDoesNotWaitForADeviceThreadStuckInTheLibrary) {
    // libjack's client close can hang when its server stops at that moment.
    const auto gate = std::make_shared<Gate>();
    const std::thread::id script = std::this_thread::get_id();
    fakepa::machine().terminateHook = [gate, script] {
        if (std::this_thread::get_id() != script) gate->wait();
    };
    engine->initialize(cfg("standard", "2"));
    ASSERT_TRUE(engine->snapshotRuntimeInfo().streamOpen);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(engine->retire(std::chrono::milliseconds(100)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    gate->open();
    // Once the library returns, PortAudio was let go on the device thread.
    EXPECT_TRUE(engine->retire(std::chrono::seconds(5)));
    EXPECT_EQ(fakepa::initializeCount(), 0);
    EXPECT_FALSE(fakepa::streamExists());
}

#ifndef _WIN32  // POSIX pipes; the Windows log goes through WriteFile
// Standard output as a pipe nobody reads any more, filled to the brim.
class UnreadStandardOutput {
public:
    UnreadStandardOutput() {
        std::fflush(stdout);
        if (pipe(fds_) != 0) return;
        fcntl(fds_[1], F_SETPIPE_SZ, 4096);
        fcntl(fds_[1], F_SETFL, O_NONBLOCK);
        const std::string filler(512, '#');
        while (write(fds_[1], filler.data(), filler.size()) > 0) {
        }
        fcntl(fds_[1], F_SETFL, 0);  // writers block, as on a host's stdout pipe
        saved_ = dup(STDOUT_FILENO);
        dup2(fds_[1], STDOUT_FILENO);
    }
    // Runs `work`, and says whether it ended within 10 s while nobody read;
    // then reads, and flushes the log into the pipe.
    bool runs(const std::function<void()>& work) {
        auto done = std::async(std::launch::async, work);
        const bool finished = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        reader_ = std::thread([this] {
            char chunk[4096];
            for (ssize_t n; (n = read(fds_[0], chunk, sizeof chunk)) > 0;) text_.append(chunk, static_cast<size_t>(n));
        });
        done.wait();
        flushed = flushLog(std::chrono::seconds(5));
        return finished;
    }
    // Gives standard output back; returns what was written after the filler.
    std::string restore() {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        close(fds_[1]);
        if (reader_.joinable()) reader_.join();
        close(fds_[0]);
        return text_.substr(std::min(text_.find_first_not_of('#'), text_.size()));
    }
    bool flushed = false;

private:
    int fds_[2] = {-1, -1};
    int saved_ = -1;
    std::thread reader_;
    std::string text_;
};

// Nothing reads standard output: the engine's log neither stalls its threads
// nor the script; lines beyond the queue are dropped and counted. Nothing may
// print until standard output is back (gtest writes there too).
TEST_F(OutputEngineTest, AFullStandardOutputNeverStallsTheEngine) {
    fakepa::reset(fakepa::Machine{});  // no device: every retry logs
    UnreadStandardOutput engineOut;
    const bool engineFinished = engineOut.runs([&] {
        engine->initialize(EngineConfig{});
        for (int i = 0; i < 300; ++i) {
            engine->snapshotRuntimeInfo();
            engine->setDeckVolume("a", 0.5);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        engine->shutdown();
    });
    const std::string engineText = engineOut.restore();
    UnreadStandardOutput linesOut;
    const bool linesFinished = linesOut.runs([] {
        for (int i = 0; i < 1000; ++i) logLine("line %d\n", i);
    });
    const std::string linesText = linesOut.restore();

    EXPECT_TRUE(engineFinished) << "the engine stalled on its log";
    EXPECT_TRUE(engineOut.flushed);
    EXPECT_EQ(engineText.rfind("No output device available.\n", 0), 0u) << engineText;
    EXPECT_TRUE(linesFinished) << "logLine blocked";
    EXPECT_TRUE(linesOut.flushed);
    // Each line is written once and in order, or counted by the note that
    // follows the lines written before it.
    std::istringstream lines(linesText);
    int next = 0, notes = 0;
    for (std::string line; std::getline(lines, line);) {
        unsigned long dropped = 0;
        if (line == "line " + std::to_string(next)) {
            ++next;
        } else if (std::sscanf(line.c_str(), "%lu log lines dropped: standard output was not being read.",
                               &dropped) == 1 && dropped > 0) {
            next += static_cast<int>(dropped);
            ++notes;
        } else {
            ADD_FAILURE() << "after line " << next << ": " << line;
            break;
        }
    }
    EXPECT_EQ(next, 1000);
    EXPECT_GE(notes, 1);
}
#endif

TEST_F(OutputEngineTest, InitializeWithoutDeviceKeepsRetrying) {
    fakepa::reset(fakepa::Machine{});
    testing::internal::CaptureStdout();
    EXPECT_EQ(engine->initialize(EngineConfig{}).sampleRate, 48000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string log = shutdownLogged();
    const RuntimeInfo info = engine->snapshotRuntimeInfo();
    EXPECT_EQ(info.lastError, "No output device available.");
    EXPECT_EQ(info.streamHealth, "stopped");
    // The first open at once, retries 50 and 100 ms apart; the failure they
    // repeat is logged once.
    EXPECT_GE(fakepa::initializeCalls(), 3);
    EXPECT_EQ(log, "No output device available.\n");
}

}  // namespace
}  // namespace velmora
