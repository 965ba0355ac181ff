// The engine without a device: the silent clock, the deck operations against
// a running render, and the render's real-time discipline.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <functional>
#include <random>
#include <thread>

#include "decks/transport.hpp"
#include "decoding/streaming_source.hpp"
#include "engine/audio_engine.hpp"
#include "support/allocation_counter.hpp"
#include "support/deck_harness.hpp"
#include "support/engine_access.hpp"
#include "support/test_support.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::makePcm;
using Access = AudioEngineTestAccess;

PcmBufferPtr constantTrack(double seconds, float value = 0.25f, int rate = 48000) {
    return makePcm(rate, 2, std::vector<float>(static_cast<std::size_t>(seconds * rate) * 2, value));
}

EngineConfig silentConfig(std::int32_t bufferSize = 256) {
    EngineConfig config;
    config.backend = "asio";  // never opens on this platform
    config.bufferSize = bufferSize;
    return config;
}

// An engine whose stream cannot open, running on its silent clock.
class SilentEngine : public ::testing::Test {
protected:
    void SetUp() override {
        engine.initialize(silentConfig(480));
        ASSERT_FALSE(engine.snapshotRuntimeInfo().streamOpen);
    }
    void TearDown() override { engine.shutdown(); }
    AudioEngine engine;
};

// Also with buffers larger than the render's 4096 frames, and for a streaming
// deck: the silent clock refills it too, so it does not run dry once its ring
// is spent (32,000 frames here would last 0.67 s).
TEST_F(SilentEngine, PlayingDeckAdvancesAtRealTime) {
    test::TempDir dir;
    TrackDescriptor streamed;
    streamed.path = dir.file("long.wav");
    ASSERT_TRUE(test::writeWav(streamed.path, std::vector<float>(48000 * 2 * 4, 0.25f), 2, 48000, SF_FORMAT_PCM_16));
    for (const auto& [bufferSize, streaming] : {std::pair{480, false}, {8192, false}, {480, true}}) {
        SCOPED_TRACE(testing::Message() << bufferSize << (streaming ? " streaming" : ""));
        engine.initialize(silentConfig(bufferSize));
        if (streaming) {
            std::string message;
            StreamingSourcePtr source = openStreamingSource(streamed, 48000, message);
            ASSERT_TRUE(source) << message;
            ASSERT_TRUE(refillStreamingSource(source.get(), StreamingSource::kRefillTargetEmptyFrames, message));
            Access::loadPlaying(engine, "A", nullptr, streamed, source);
        } else {
            Access::loadPlaying(engine, "A", constantTrack(60));
        }
        const double start = engine.getDeckState("A").positionSeconds;
        const auto wallStart = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(1500ms);
        const DeckState state = engine.getDeckState("A");
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        EXPECT_TRUE(state.playing);
        // Positions move a buffer at a time, at most 4096 frames.
        EXPECT_NEAR(state.positionSeconds - start, wall, 0.03 * wall + std::min(bufferSize, 4096) / 48000.0);
        EXPECT_EQ(engine.snapshotRuntimeInfo().xrunCount, 0U);
        EXPECT_EQ(engine.snapshotRuntimeInfo().callbackDropCount, 0U);
    }
}

TEST_F(SilentEngine, UpdateTrackKeepsAPlayingDeckAtItsPosition) {
    TrackDescriptor track;
    track.id = "t1";
    track.path = "/nowhere/t1.wav";
    Access::loadPlaying(engine, "A", constantTrack(60), track);
    std::this_thread::sleep_for(300ms);
    const double before = engine.getDeckState("A").positionSeconds;
    track.cueIn = 0.1;  // a later cue-in must not move a playing deck
    const DeckState updated = engine.updateTrack("A", track, true, true);
    EXPECT_TRUE(updated.playing);
    EXPECT_NEAR(updated.positionSeconds, before, 0.05);
    std::this_thread::sleep_for(200ms);
    EXPECT_GT(engine.getDeckState("A").positionSeconds, updated.positionSeconds + 0.1);
}

TEST_F(SilentEngine, PauseKeepsThePlayheadWhereTheSoundStopped) {
    Access::loadPlaying(engine, "A", constantTrack(60));
    std::this_thread::sleep_for(400ms);
    const DeckState paused = engine.pause("A");
    EXPECT_GT(paused.positionSeconds, 0.3);
    std::this_thread::sleep_for(200ms);
    const DeckState later = engine.getDeckState("A");
    EXPECT_TRUE(later.paused);
    // At most the buffer that was rendering when pause landed.
    EXPECT_NEAR(later.positionSeconds, paused.positionSeconds, 480.0 / 48000 + 1e-9);
}

// A streamed track's audio is the stream's: it never enters the track cache.
TEST_F(SilentEngine, StreamedTracksStayOutOfTheTrackCache) {
    test::TempDir dir;
    TrackDescriptor track;
    track.path = dir.file("long.wav");
    track.duration = 600.0;
    ASSERT_TRUE(test::writeWav(track.path, std::vector<float>(4800 * 2, 0.25f), 2, 48000, SF_FORMAT_PCM_16));
    EXPECT_TRUE(engine.loadTrack("S", track).loaded);
    EXPECT_FALSE(engine.trackCache().contains(track.path));
}

// A refused play reports the open error and leaves the transport as the
// render has it: a playing deck keeps playing, a paused one stays paused.
TEST_F(SilentEngine, PlayWithoutStreamIsRefusedWithTheOpenError) {
    Access::loadPlaying(engine, "A", constantTrack(5));
    Access::loadPlaying(engine, "B", constantTrack(5));
    engine.pause("A");
    const std::string openError = engine.snapshotRuntimeInfo().lastError;
    ASSERT_FALSE(openError.empty());

    const DeckState paused = engine.play("A");
    EXPECT_FALSE(paused.playing);
    EXPECT_TRUE(paused.paused);
    EXPECT_EQ(paused.lastError, openError);

    const DeckState playing = engine.play("B");
    EXPECT_TRUE(playing.playing);
    EXPECT_EQ(playing.lastError, openError);
    std::this_thread::sleep_for(100ms);
    const DeckState later = engine.getDeckState("B");
    EXPECT_TRUE(later.playing);
    EXPECT_GT(later.positionSeconds, playing.positionSeconds);
    EXPECT_TRUE(engine.getDeckState("A").paused);
}

TEST_F(SilentEngine, ReinitializeKeepsDecksAndCountsARestart) {
    Access::loadPlaying(engine, "A", constantTrack(60));
    std::this_thread::sleep_for(300ms);
    const double before = engine.getDeckState("A").positionSeconds;
    engine.initialize(silentConfig());
    const RuntimeInfo info = engine.snapshotRuntimeInfo();
    EXPECT_EQ(info.deviceRestartCount, 1U);
    // Re-publishing every deck never sends a playing deck back in time.
    EXPECT_GE(engine.getDeckState("A").positionSeconds, before);
    engine.shutdown();
    engine.initialize(silentConfig());
    EXPECT_EQ(engine.snapshotRuntimeInfo().deviceRestartCount, 1U);
}

// A streamed deck follows the output rate when it changes (initialize at
// another rate, a device that forces one), from where it was.
TEST(StreamingEngine, StreamedDeckFollowsTheOutputRate) {
    AudioEngine engine;  // no stream and no threads: the test renders
    test::TempDir dir;
    // A 44.1 kHz ramp: at 44.1 kHz it plays unresampled, to the bit.
    auto ramp = [](std::uint64_t f) { return static_cast<float>(f % 65536) / 65536.0f; };
    TrackDescriptor track;
    track.path = dir.file("ramp44.wav");
    ASSERT_TRUE(test::writeWav(track.path, test::makeSamples(44100 * 2, 2, [&](std::uint64_t f, int c) {
        return c == 0 ? ramp(f) : -ramp(f);
    }), 2, 44100, SF_FORMAT_FLOAT));
    std::string message;
    StreamingSourcePtr source = openStreamingSource(track, 48000, message);
    ASSERT_TRUE(source) << message;
    Access::loadPlaying(engine, "S", nullptr, track, source);
    // The left channel of `buffers` buffers, refilled as the output thread does.
    auto play = [&](int buffers) {
        std::vector<float> out(256 * 2), left;
        for (int b = 0; b < buffers; ++b) {
            Access::refillStreams(engine);
            EXPECT_TRUE(engine.renderBuffer(out.data(), 256, 2));
            for (std::size_t k = 0; k < 256; ++k) left.push_back(out[k * 2]);
        }
        return left;
    };
    play(20);
    EXPECT_DOUBLE_EQ(engine.getDeckState("S").positionSeconds, 5120.0 / 48000);

    // Until the output thread has moved it, the deck waits in silence.
    Access::setSampleRate(engine, 44100);
    std::vector<float> waiting(256 * 2, 1.0f);
    engine.renderBuffer(waiting.data(), 256, 2);
    EXPECT_EQ(waiting, std::vector<float>(256 * 2, 0.0f));
    EXPECT_DOUBLE_EQ(engine.getDeckState("S").positionSeconds, 5120.0 / 48000);

    // 5120 frames at 48 kHz are frame 4704 at 44.1 kHz.
    const std::vector<float> at44 = play(20);
    for (std::size_t i = 0; i < at44.size(); ++i) ASSERT_EQ(at44[i], ramp(4704 + i)) << "frame " << i;
    EXPECT_DOUBLE_EQ(engine.getDeckState("S").positionSeconds, (4704.0 + 5120) / 44100);

    // Back to 48 kHz: frame 9824 at 44.1 kHz is 10693 (10692.97); the deck
    // plays what the reader makes from there.
    ResamplingReader reader;
    ASSERT_TRUE(reader.open(track.path, 48000));
    ASSERT_TRUE(reader.seek(10693));
    std::vector<float> expected(5120 * 2);
    ASSERT_EQ(reader.read(expected.data(), 5120), 5120U);
    Access::setSampleRate(engine, 48000);
    const std::vector<float> at48 = play(20);
    for (std::size_t i = 0; i < at48.size(); ++i) ASSERT_EQ(at48[i], expected[i * 2]) << "frame " << i;
    EXPECT_DOUBLE_EQ(engine.getDeckState("S").positionSeconds, (10693.0 + 5120) / 48000);
    EXPECT_EQ(engine.snapshotRuntimeInfo().callbackDropCount, 0U);
}

// One thread drives every control operation while the render runs; every
// seek must be seen by the next state read. How many a second is measured by
// bench/control_rate.js.
TEST(ConcurrentEngine, ControlOperationsAgainstTheRender) {
    AudioEngine engine;
    engine.initialize(silentConfig(64));
    Access::loadPlaying(engine, "A", constantTrack(30));
    Access::loadPlaying(engine, "B", constantTrack(30, 0.5f, 44100));

    std::mt19937 random(42);
    std::uniform_real_distribution<double> seconds(0.0, 20.0);
    constexpr int kSeeks = 2000;
    const std::uint64_t clockBefore = engine.frameClock();
    int seeks = 0;
    while (seeks < kSeeks) {
        const double target = seconds(random);
        const auto before = std::chrono::steady_clock::now();
        const DeckState state = engine.seek("A", target);
        ASSERT_DOUBLE_EQ(state.positionSeconds, target);
        const double seen = engine.getDeckState("A").positionSeconds;
        // The silent clock keeps real time: past the seek by at most the time
        // since it, plus the buffers a late pass owes (its catch-up is capped
        // at 250 ms); a lost seek would leave the deck anywhere in the track.
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
        ASSERT_GE(seen, target);
        ASSERT_LE(seen, target + elapsed + 0.25 + 64.0 / 48000) << "a render overwrote the seek";
        ++seeks;
        engine.setDeckVolume("B", seconds(random) / 10.0);
        engine.fadeTo("A", 50, seconds(random) / 20.0);
        engine.setTrackGain("B", 0.5);
        if (seeks % 50 == 0) {
            engine.deleteDeck("B");
            Access::loadPlaying(engine, "B", constantTrack(2, 0.1f));
            engine.createDeck(seeks % 100 == 0 ? "C1" : "C2");
        }
        engine.snapshotRuntimeInfo();
        // Leaves the render room to run between the operations.
        std::this_thread::sleep_for(100us);
    }
    // At least 0.2 s of real time passed: the render ran all through it.
    EXPECT_GE(engine.frameClock() - clockBefore, 20U * 64);
    engine.shutdown();
}

// Lifecycle and deck calls from several threads at once, as worker threads
// make them: starting and stopping the engine threads is serialised.
TEST(ConcurrentEngine, LifecycleCallsFromManyThreads) {
    AudioEngine engine;  // every start retries a device that never opens
    const std::function<void(int)> roles[] = {
        [&](int) { engine.initialize(silentConfig()); },
        [&](int) { engine.shutdown(); },
        [&](int n) { engine.play(n % 2 ? "A" : "B"); },
        [&](int n) {
            OutputAssignment routing;
            routing.channelOffset = n % 4;
            engine.assignDeckOutput("A", routing);
            engine.snapshotRuntimeInfo();
            if (n % 8 == 0) engine.deleteDeck("B");
        },
    };
    std::atomic<int> counts[std::size(roles)] = {};
    std::vector<std::thread> threads;
    const auto end = std::chrono::steady_clock::now() + 1500ms;
    for (std::size_t r = 0; r < std::size(roles); ++r)
        threads.emplace_back([&, r] {
            for (int n = 0; std::chrono::steady_clock::now() < end; ++n, ++counts[r]) roles[r](n);
        });
    for (std::thread& thread : threads) thread.join();
    for (const auto& count : counts) EXPECT_GT(count.load(), 0);
    engine.shutdown();
    EXPECT_FALSE(engine.threadsRunning());
}

// The render allocates and frees nothing, whatever the decks are doing.
TEST(RenderDiscipline, RenderAllocatesNothing) {
    test::DeckHarness h;
    TrackDescriptor cued;
    cued.cueOut = 0.5;
    h.load("A", constantTrack(2));
    h.load("B", makePcm(44100, 1, std::vector<float>(44100, 0.1f)), cued);
    h.play("A");
    h.play("B");
    std::vector<float> buffer(256 * 2);
    std::uint64_t clock = 0;
    auto renderOnce = [&] {
        test::CountAllocations count;
        {
            RenderPassScope pass(h.registry().domain());
            renderMix(RenderContext{}, h.registry().loadMixList(), 256, buffer.data(), 2, clock);
        }
        clock += 256;
        EXPECT_EQ(count.allocations(), 0U);
        EXPECT_EQ(count.deallocations(), 0U);
    };
    for (int i = 0; i < 200; ++i) {
        if (i % 10 == 0) h.apply("A", [](Deck& d) { return applySeek(d, 0.5, nullptr); });
        if (i % 15 == 0) h.apply("A", [&](Deck& d) { return applyFade(d, 20, i % 2, 48000, clock); });
        if (i % 30 == 0) h.apply("B", [](Deck& d) { return applyStop(d, true, nullptr); });
        if (i % 30 == 5) h.play("B");
        if (i == 100) h.load("A", constantTrack(1, 0.3f));  // replaced audio retires the old
        renderOnce();
    }
}

}  // namespace
}  // namespace velmora
