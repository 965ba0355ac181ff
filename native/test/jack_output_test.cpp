// The output engine against real PortAudio and a private JACK dummy server.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "engine/logger.hpp"
#include "support/deck_harness.hpp"
#include "support/engine_access.hpp"
#include "support/jack_server.hpp"
#include "support/test_support.hpp"

namespace velmora {
namespace {

using Access = AudioEngineTestAccess;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

template <typename Predicate>
bool waitFor(Predicate predicate, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
        if (predicate()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return predicate();
}

PcmBufferPtr sine(double seconds, double amplitude, bool rightSilent = false) {
    auto samples = test::makeSine(static_cast<std::uint64_t>(seconds * 48000), 2, 48000, 1000.0, amplitude);
    if (rightSilent)
        for (size_t i = 1; i < samples.size(); i += 2) samples[i] = 0.0f;
    return test::makePcm(48000, 2, std::move(samples));
}

struct ChannelStats { double peak = 0.0, frequency = 0.0; };

ChannelStats analyse(const std::vector<float>& samples, int channels, int channel, int rate) {
    ChannelStats stats;
    const size_t frames = samples.size() / static_cast<size_t>(channels);
    int crossings = 0;
    size_t first = 0, last = 0;
    for (size_t f = 1; f < frames; ++f) {
        const float a = samples[(f - 1) * channels + channel];
        const float b = samples[f * channels + channel];
        stats.peak = std::max(stats.peak, static_cast<double>(std::fabs(b)));
        if (a < 0.0f && b >= 0.0f) {
            if (crossings == 0) first = f;
            last = f;
            ++crossings;
        }
    }
    if (crossings > 1) stats.frequency = (crossings - 1) * static_cast<double>(rate) / static_cast<double>(last - first);
    return stats;
}

class JackOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::runQuiet("command -v jackd >/dev/null && command -v jack_rec >/dev/null") != 0) GTEST_SKIP() << "jackd2 is not installed";
        ASSERT_TRUE(server.start());
        deviceId = test::jackDeviceId(*engine);
        ASSERT_NE(deviceId, "");
    }
    void TearDown() override {
        engine.reset();
        server.stop();
    }
    EngineConfig config(int buffer = 256) {
        EngineConfig c;
        c.bufferSize = buffer;
        c.deviceId = deviceId;
        return c;
    }
    DeckState play(const std::string& deck, PcmBufferPtr pcm, double volume, int offset, int count) {
        OutputAssignment routing;
        routing.channelOffset = offset;
        routing.channelCount = count;
        engine->assignDeckOutput(deck, routing);
        TrackDescriptor track;
        track.id = deck;
        track.path = "/generated/" + deck;
        Access::loadPcm(*engine, deck, std::move(pcm), track);
        engine->setDeckVolume(deck, volume);
        return engine->play(deck);
    }
    DeckState playSine(const std::string& deck, double amplitude, double volume, int offset, int count,
                       bool rightSilent = false) {
        return play(deck, sine(75.0, amplitude, rightSilent), volume, offset, count);
    }
    // A second of the engine's first `count` channels.
    std::vector<float> record(int count) {
        std::vector<std::string> ports;
        for (const std::string& port : server.ports())
            for (int i = 0; i < count; ++i)
                if (port.ends_with(":out_" + std::to_string(i))) ports.push_back(port);
        EXPECT_EQ(static_cast<int>(ports.size()), count);
        test::TempDir dir;
        const std::string file = dir.file("rec.wav");
        EXPECT_TRUE(server.record(ports, 1.0, file));
        std::vector<float> samples;
        int channels = 0, rate = 0;
        EXPECT_TRUE(test::readWav(file, samples, channels, rate));
        EXPECT_EQ(channels, count);
        return samples;
    }
    double leftPeak() { return analyse(record(2), 2, 0, 48000).peak; }

    test::JackServer server;
    std::unique_ptr<AudioEngine> engine = std::make_unique<AudioEngine>();
    std::string deviceId;
};

TEST_F(JackOutputTest, TheDeviceOpensAndDecksAreHeardOnTheirChannels) {
    std::vector<std::int32_t> rates;
    for (const DeviceInfo& device : engine->enumerateDevices("standard"))
        if (device.id == deviceId) rates = device.supportedSampleRates;
    EXPECT_EQ(rates, (std::vector<std::int32_t>{48000}));
    engine->initialize(config());
    ASSERT_TRUE(waitFor([&] { return engine->snapshotRuntimeInfo().avgCallbackMs > 0.0; }, 1000));
    const RuntimeInfo info = engine->snapshotRuntimeInfo();
    // A dummy server on a loaded machine may miss a period: xruns ("warning")
    // are the machine's, not the open's.
    EXPECT_TRUE(info.streamHealth == "ok" || info.streamHealth == "warning") << info.lastError;
    EXPECT_EQ(info.activeDeviceId, deviceId);
    EXPECT_EQ(info.bufferSize, 256);
    EXPECT_EQ(info.sampleRate, 48000);
    const struct { double amplitude; int offset; int count; bool rightSilent; double expectedPeak; } cases[] = {
        {0.8, 2, 2, false, 0.4},   // channels 3 and 4
        {0.8, 14, 2, false, 0.4},  // the last two of the device's 16 channels
        {0.8, 5, 1, true, 0.2},    // mono send averages left and right
    };
    for (const auto& c : cases) {
        playSine("d", c.amplitude, 0.5, c.offset, c.count, c.rightSilent);
        ASSERT_TRUE(waitFor([&] { return engine->snapshotRuntimeInfo().streamOpen; }, 1000));
        const int required = c.offset + c.count < 2 ? 2 : c.offset + c.count;
        EXPECT_EQ(engine->snapshotRuntimeInfo().channels, required);
        const auto samples = record(required);
        for (int ch = 0; ch < required; ++ch) {
            const ChannelStats stats = analyse(samples, required, ch, 48000);
            if (ch >= c.offset && ch < c.offset + c.count) {
                EXPECT_NEAR(stats.peak, c.expectedPeak, 0.01) << "offset " << c.offset << " ch " << ch;
                EXPECT_NEAR(stats.frequency, 1000.0, 2.0) << "offset " << c.offset << " ch " << ch;
            } else {
                EXPECT_LT(stats.peak, 1e-4) << "offset " << c.offset << " ch " << ch;
            }
        }
        engine->deleteDeck("d");
    }
}

TEST_F(JackOutputTest, TwoDecksSumUnderTheLimiterCeiling) {
    EngineConfig c = config();
    c.masterLimiterCeiling = 0.9;
    engine->initialize(c);
    // A sine and a constant: every buffer's sum peaks near 1.4, above this
    // ceiling, the default one and full scale, whatever their phases.
    playSine("a", 0.9, 1.0, 0, 2);
    play("b", test::makePcm(48000, 2, std::vector<float>(75 * 48000 * 2, 0.5f)), 1.0, 0, 2);
    EXPECT_NEAR(leftPeak(), 0.9, 1e-3);
}

TEST_F(JackOutputTest, SilentClockKeepsRealTimeWhileReopensFail) {
    engine->initialize(config(480));
    playSine("d", 0.5, 1.0, 0, 2);
    EngineConfig asio = config(480);
    asio.backend = "asio";  // no ASIO here: every open fails
    engine->initialize(asio);
    EXPECT_FALSE(engine->snapshotRuntimeInfo().streamOpen);
    const double before = engine->getDeckState("d").positionSeconds;
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double advanced = engine->getDeckState("d").positionSeconds - before;
    const double elapsed = msSince(start) / 1000.0;
    EXPECT_NEAR(advanced / elapsed, 1.0, 0.03);
}

TEST_F(JackOutputTest, OpensWhenTheServerArrives) {
    test::HiddenDevices hidden;
    deviceId = test::jackDeviceId(*engine);  // its place in a list without ALSA's
    server.stop();
    engine->initialize(config());
    RuntimeInfo info = engine->snapshotRuntimeInfo();
    EXPECT_FALSE(info.streamOpen);
    EXPECT_FALSE(info.lastError.empty());
    const DeckState refused = playSine("d", 0.8, 0.5, 0, 2);
    EXPECT_FALSE(refused.playing);
    EXPECT_EQ(refused.lastError, info.lastError);
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(waitFor([&] { return engine->snapshotRuntimeInfo().streamOpen; }, 1000));
    engine->play("d");
    EXPECT_NEAR(leftPeak(), 0.4, 0.01);
    engine->shutdown();
}

// The server dies under the stream and comes back under the same name: the
// engine gives the stream up, answers at once meanwhile, and plays again on
// the new server without any call.
TEST_F(JackOutputTest, ALostServerIsReachedAgainWhenItReturns) {
    engine->initialize(config());
    playSine("d", 0.8, 0.5, 0, 2);
    ASSERT_TRUE(engine->snapshotRuntimeInfo().streamActive);
    testing::internal::CaptureStdout();
    server.stop();
    EXPECT_TRUE(waitFor([&] { return !engine->snapshotRuntimeInfo().streamOpen; }, 500));

    const auto start = Clock::now();
    engine->initialize(config());
    EXPECT_LT(msSince(start), 100.0);
    EXPECT_FALSE(engine->snapshotRuntimeInfo().lastError.empty());
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(waitFor([&] { return engine->snapshotRuntimeInfo().streamHealth == "ok"; }, 3000));
    EXPECT_NEAR(leftPeak(), 0.4, 0.01);
    engine->shutdown();
    flushLog(std::chrono::seconds(5));  // the log is written by its own thread
    testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace velmora
