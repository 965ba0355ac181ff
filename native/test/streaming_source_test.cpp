// Streaming sources on generated files: the ring's refill rules, seeks,
// close, and the render playing from the ring.

#include <gtest/gtest.h>

#include <sndfile.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "decoding/streaming_source.hpp"
#include "support/deck_harness.hpp"
#include "support/test_support.hpp"

namespace velmora {
namespace {

using test::TempDir;

constexpr int kRate = 48000;

// Every frame's value names its index exactly: 0.5 + (index mod 2^19) / 2^20.
float rampValue(std::uint64_t frame) {
    return static_cast<float>(0.5 + static_cast<double>(frame % (1U << 19)) / (1U << 20));
}

std::string writeRamp(const TempDir& dir, const std::string& name, std::uint64_t frames, int channels) {
    const std::string path = dir.file(name);
    auto samples = test::makeSamples(frames, channels, [](std::uint64_t f, int c) {
        return c == 0 ? rampValue(f) : -rampValue(f);
    });
    EXPECT_TRUE(test::writeWav(path, samples, channels, kRate, SF_FORMAT_FLOAT));
    return path;
}

TrackDescriptor trackAt(const std::string& path, double cueIn = 0.0, double duration = 0.0) {
    TrackDescriptor track;
    track.path = path;
    track.cueIn = cueIn;
    track.duration = duration;
    return track;
}

std::uint64_t bufferedFrames(const StreamingSource& s) {
    return (s.writeIndex.load() - s.readIndex.load()) / static_cast<std::uint64_t>(std::max(s.channels, 1));
}

// The render side of the ring, as the mix render consumes it.
void consume(StreamingSource& s, std::uint64_t frames) {
    s.readIndex += frames * static_cast<std::uint64_t>(s.channels);
    s.playFrame += frames;
}

TEST(StreamingSource, RefillAmounts) {
    TempDir dir;
    const std::string path = writeRamp(dir, "long.wav", 10 * kRate, 2);
    std::string message;
    auto s = openStreamingSource(trackAt(path), kRate, message);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->channels, 2);
    EXPECT_EQ(s->ring.size(), 64000U);

    struct Step {
        const char* what;
        std::uint64_t consumeFirst;
        std::uint64_t minimum;
        std::uint64_t expectedBuffered;
    };
    const Step steps[] = {
        {"empty ring: at least 768 frames", 0, 0, 768},
        {"partly filled: up to the 8000 target", 0, 0, 8000},
        {"at the target: nothing", 0, 0, 8000},
        {"1 frame left: tops up to 8000", 7999, 0, 8000},
        {"a larger minimum", 0, 20000, 20000},
        {"never the whole ring: one frame stays free", 0, 40000, 31999},
        {"full ring: nothing", 0, 40000, 31999},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        consume(*s, step.consumeFirst);
        EXPECT_TRUE(refillStreamingSource(s.get(), step.minimum, message));
        EXPECT_EQ(bufferedFrames(*s), step.expectedBuffered);
    }
    // Samples arrive in order across the wrap-around of the ring.
    for (std::uint64_t i = 0; i < 31999; i += 997) {
        const std::uint64_t index = s->readIndex.load() + i * 2;
        EXPECT_EQ(s->ring[index % s->ring.size()], rampValue(s->playFrame.load() + i));
    }

    // An empty ring fills to the caller's minimum when that is larger.
    consume(*s, 31999);
    EXPECT_TRUE(refillStreamingSource(s.get(), 5000, message));
    EXPECT_EQ(bufferedFrames(*s), 5000U);
}

TEST(StreamingSource, CueInSeekAndEnd) {
    TempDir dir;
    const std::string mono = writeRamp(dir, "mono.wav", kRate, 1);
    std::string message;
    auto s = openStreamingSource(trackAt(mono, 0.25), kRate, message);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->channels, 1);
    EXPECT_EQ(s->playFrame.load(), 12000U);
    refillStreamingSource(s.get(), 0, message);
    EXPECT_EQ(s->ring[s->readIndex.load() % s->ring.size()], rampValue(12000));

    // A cue-in past the end starts at the end.
    auto late = openStreamingSource(trackAt(mono, 5.0), kRate, message);
    ASSERT_TRUE(late);
    EXPECT_EQ(late->playFrame.load(), static_cast<std::uint64_t>(kRate));

    // Drain to the end, then seek back: the end flag clears.
    while (refillStreamingSource(s.get(), 30000, message) && !s->endOfStream.load()) consume(*s, bufferedFrames(*s));
    EXPECT_TRUE(s->endOfStream.load());
    seekStreamingSource(s.get(), -3.0, 256);
    EXPECT_FALSE(s->endOfStream.load());
    EXPECT_EQ(s->playFrame.load(), 0U);
    EXPECT_EQ(bufferedFrames(*s), 768U);
    EXPECT_EQ(s->ring[s->readIndex.load() % s->ring.size()], rampValue(0));

    seekStreamingSource(s.get(), 0.5, 2048);
    EXPECT_EQ(s->playFrame.load(), 24000U);
    EXPECT_EQ(bufferedFrames(*s), 2048U);
    EXPECT_EQ(s->ring[s->readIndex.load() % s->ring.size()], rampValue(24000));

    closeStreamingSource(s.get());
    EXPECT_FALSE(refillStreamingSource(s.get(), 0, message));
    EXPECT_EQ(message, "");
    seekStreamingSource(s.get(), 0.1, 256);
    EXPECT_EQ(s->playFrame.load(), 24000U);
}

// A file that reads but refuses every seek; its frames name their index.
class UnseekableRamp final : public FrameReader {
  public:
    std::int32_t channels() const noexcept override { return 1; }
    std::int32_t sampleRate() const noexcept override { return kRate; }
    std::uint64_t lengthFrames() const noexcept override { return 10 * kRate; }
    std::size_t read(float* destination, std::size_t frames) override {
        for (std::size_t i = 0; i < frames; ++i) destination[i] = rampValue(next_++);
        return frames;
    }
    bool failed() const noexcept override { return false; }
    bool seek(std::uint64_t) override { return false; }

  private:
    std::uint64_t next_ = 0;
};

// Where the file cannot seek, the deck goes on where it plays, and says so.
TEST(StreamingSource, RefusedSeekKeepsPositionAndAudioTogether) {
    auto s = std::make_shared<StreamingSource>();
    s->decoder = std::make_unique<ResamplingReader>();
    ASSERT_TRUE(s->decoder->open(std::make_unique<UnseekableRamp>(), kRate));
    s->sampleRate = kRate;
    s->channels = 1;
    s->durationSeconds = 10.0;
    s->ring.assign(StreamingSource::kRingFrames, 0.0f);
    std::string message;
    ASSERT_TRUE(refillStreamingSource(s.get(), 8000, message));
    test::DeckHarness h;
    h.loadSource("A", s);
    consume(*s, 1000);

    const auto seekSource = [](const StreamingSourcePtr& source, double seconds) {
        return seekStreamingSource(source.get(), seconds, 256);
    };
    h.apply("A", [&](Deck& d) { return applySeek(d, 5.0, seekSource); });
    EXPECT_EQ(s->playFrame.load(), 1000U);
    EXPECT_EQ(s->ring[s->readIndex.load() % s->ring.size()], rampValue(1000));
    EXPECT_DOUBLE_EQ(h.pulled("A").state.positionSeconds, 1000.0 / kRate);
}

// A streamed track plays what the reader reads, to its end, and stops there:
// a 44.1 kHz file resampled, and a FLAC stream of unknown length (written
// through a pipe) with a declared duration far too long, which must end once
// the decoder is done and the ring drained instead of counting drops forever.
TEST(StreamingRender, PlaysWhatTheReaderReadsToTheRealEnd) {
    TempDir dir;
    const std::string sine = dir.file("sine44.wav"), flac = dir.file("unknown.flac");
    ASSERT_TRUE(test::writeWav(sine, test::makeSine(44100, 1, 44100, 440.0, 0.5), 1, 44100, SF_FORMAT_FLOAT));
    ASSERT_EQ(test::runQuiet("(sox '" + writeRamp(dir, "short.wav", kRate / 2, 1) +
                             "' -b 16 -t raw - | flac -s --force-raw-format --endian=little --sign=signed "
                             "--channels=1 --bps=16 --sample-rate=48000 - -c | cat > '" + flac + "')"),
              0);
    for (const auto& [path, duration] : {std::pair{sine, 0.0}, std::pair{flac, 600.0}}) {
        SCOPED_TRACE(path);
        ResamplingReader reader;
        ASSERT_TRUE(reader.open(path, kRate));
        std::vector<float> expected(kRate);
        expected.resize(reader.read(expected.data(), expected.size()));

        std::string message;
        auto s = openStreamingSource(trackAt(path, 0.0, duration), kRate, message);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->sampleRate, kRate);
        EXPECT_DOUBLE_EQ(s->durationSeconds, duration ? duration : 1.0);
        test::DeckHarness h;
        h.loadSource("A", s);
        h.play("A");
        std::vector<float> out;
        for (int i = 0; i < 100; ++i) {
            refillStreamingSource(s.get(), 8000, message);
            const auto chunk = h.render(1024, 1024);
            out.insert(out.end(), chunk.begin(), chunk.end());
        }
        ASSERT_GE(out.size() / 2, expected.size());
        for (std::size_t f = 200; f < expected.size(); f += 101) ASSERT_FLOAT_EQ(out[f * 2], expected[f]) << f;
        EXPECT_EQ(out[expected.size() * 2], 0.0f);
        EXPECT_FALSE(h.pulled("A").state.playing);
        EXPECT_LE(h.drops.load(), 1U);
    }
}

TEST(StreamingRender, UnderrunCountsADropAndNeverSetUpRingToo) {
    TempDir dir;
    const std::string path = writeRamp(dir, "ramp.wav", kRate, 2);
    std::string message;
    auto s = openStreamingSource(trackAt(path), kRate, message);
    test::DeckHarness h;
    h.loadSource("A", s);
    h.play("A");
    h.render(256);  // nothing primed: one underrun
    EXPECT_EQ(h.drops.load(), 1U);
    EXPECT_TRUE(h.pulled("A").state.playing);

    auto bare = std::make_shared<StreamingSource>();
    bare->sampleRate = kRate;
    bare->channels = 2;
    bare->durationSeconds = 10;
    h.loadSource("B", bare);
    h.play("B");
    h.render(256);
    EXPECT_EQ(h.drops.load(), 3U);
}

// A streamed deck plays as a decoded deck given the same track does, from
// its ring across wrap-arounds to its cue-out; cue-outs and durations too
// large for a frame count play on.
TEST(StreamingRender, StreamedDeckPlaysLikeADecodedDeck) {
    TempDir dir;
    const std::string path = writeRamp(dir, "ramp.wav", kRate, 2);
    const std::vector<float> decoded = test::makeSamples(kRate, 2, [](std::uint64_t f, int c) {
        return c == 0 ? rampValue(f) : -rampValue(f);
    });
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const struct {
        const char* name;
        double cueIn, cueOut;
        double duration;  // stands in for a file of unknown length when > 0
        bool ends;        // at the cue-out, before 80 buffers of 512 frames
    } cases[] = {
        {"cue points", 0.25, 0.75, 0.0, true},
        {"infinite cue-out", 0.0, kInf, 0.0, false},
        {"cue-out beyond 2^64 frames", 0.0, 4e14, 0.0, false},
        {"largest cue-out", 0.0, std::numeric_limits<double>::max(), 0.0, false},
        {"duration beyond 2^64 frames", 0.0, 0.0, 1e300, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TrackDescriptor track = trackAt(path, c.cueIn);
        track.cueOut = c.cueOut;
        std::string message;
        auto s = openStreamingSource(track, kRate, message);
        ASSERT_TRUE(s);
        if (c.duration > 0.0) s->durationSeconds = c.duration;
        test::DeckHarness streamed, plain;
        streamed.loadSource("A", s, track);
        plain.load("A", test::makePcm(kRate, 2, decoded), track);
        for (test::DeckHarness* h : {&streamed, &plain}) h->play("A");
        for (int buffer = 0; buffer < 80; ++buffer) {
            refillStreamingSource(s.get(), StreamingSource::kRefillTargetFrames, message);
            ASSERT_EQ(streamed.render(512), plain.render(512)) << "buffer " << buffer;
        }
        EXPECT_EQ(streamed.drops.load(), 0U);
        EXPECT_NE(streamed.pulled("A").state.playing, c.ends);
        EXPECT_DOUBLE_EQ(streamed.pulled("A").state.positionSeconds, c.ends ? c.cueOut : 80 * 512.0 / kRate);
    }
}

// Seeks and rate changes hammered from one thread while another renders and a
// third refills: every sample the render outputs belongs to the position it
// reports.
TEST(ConcurrentStreaming, SeekRefillAndRender) {
    TempDir dir;
    const std::string path = writeRamp(dir, "ramp.wav", 20 * kRate, 1);
    std::string message;
    auto s = openStreamingSource(trackAt(path), kRate, message);
    ASSERT_TRUE(s);
    test::DeckHarness h;
    h.loadSource("A", s, trackAt(path));
    // Playing without a declick: every sample played is a ramp value.
    h.apply("A", [](Deck& d) {
        d.state.playing = true;
        d.declick = {};
        return kPublishAll;
    });
    h.setLimiter(false, 0.98);
    const DeckRuntime& rt = *h.deck("A").runtime;

    std::atomic<bool> stop{false};
    std::atomic<long> checkedFrames{0};
    std::thread refiller([&] {
        std::string ignored;
        while (!stop.load()) {
            refillStreamingSource(s.get(), 8000, ignored);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::thread renderer([&] {
        while (!stop.load()) {
            const std::vector<float> out = h.render(256);
            // The frames this buffer played (every ramp value is at least
            // 0.5; an underrun or a skipped buffer leaves zeros) end where the
            // render says its playhead is, and match the ring one to one.
            std::uint64_t played = 0;
            while (played < 256 && out[played * 2] != 0.0f) ++played;
            const auto endFrame = static_cast<std::uint64_t>(rt.position.frames.load());
            for (std::uint64_t i = 0; i < played; ++i) {
                if (out[i * 2] != rampValue(endFrame - played + i)) {
                    ADD_FAILURE() << "sample from the wrong position at frame " << endFrame - played + i;
                    return;
                }
            }
            checkedFrames += static_cast<long>(played);
        }
    });
    for (int i = 0; i < 3000; ++i) {
        // A rate change and back (to the same frame): the render skips the
        // ring while it runs at 96 kHz.
        if (i % 10 == 0) {
            followOutputRate(s.get(), 2 * kRate, 256);
            followOutputRate(s.get(), kRate, 256);
        }
        seekStreamingSource(s.get(), (i * 7919 % 18000) / 1000.0, 256);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    stop = true;
    refiller.join();
    renderer.join();
    EXPECT_GT(checkedFrames.load(), 10000);
}

}  // namespace
}  // namespace velmora
