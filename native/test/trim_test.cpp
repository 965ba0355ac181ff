#include "analysis/trim.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <tuple>

#include "decoding/decode_chain.hpp"
#include "support/test_support.hpp"

namespace velmora {
namespace {

constexpr int kRate = 44'100;

PcmBufferPtr makeBuffer(int rate, int channels, std::vector<float> samples) {
    auto buffer = std::make_shared<PcmBuffer>();
    buffer->sampleRate = rate;
    buffer->channels = channels;
    buffer->samples = std::move(samples);
    return buffer;
}

// Buffer of `seconds`, a 440 Hz tone shaped by `envelope(t)`.
PcmBufferPtr makeTrack(double seconds, const std::function<double(double)>& envelope,
                       int channels = 1) {
    const auto frames = static_cast<std::uint64_t>(std::llround(seconds * kRate));
    return makeBuffer(kRate, channels, test::makeSamples(frames, channels, [&](std::uint64_t f, int) {
        const double t = static_cast<double>(f) / kRate;
        return static_cast<float>(envelope(t) * 0.5 * std::sin(2.0 * std::numbers::pi * 440.0 * t));
    }));
}

// 2 s silence, 1.5 s fade-in, 20 s tone, 2 s fade-out, 3 s silence. The fades
// cross the quiet threshold (0.3 % of the peak level) at these times:
constexpr double kAudibleFrom = 2.0 + 0.003 * 1.5;
constexpr double kAudibleUntil = 25.5 - 0.003 * 2.0;
double fadedEnvelope(double t) {
    if (t < 2.0) return 0.0;
    if (t < 3.5) return (t - 2.0) / 1.5;
    if (t < 23.5) return 1.0;
    if (t < 25.5) return (25.5 - t) / 2.0;
    return 0.0;
}

// Where the cues land, by track shape, window length and rolls. A tolerance
// of 0 asks for the exact window edge.
TEST(Trim, CuesOfShapedTracksWindowsAndRolls) {
    const PcmBufferPtr faded = makeTrack(28.5, fadedEnvelope);
    // A tone from frame 54420 (1.234 s) to frame 201404 (4.567 s): 5 ms windows
    // of 220 frames put its edges in windows 247 and 915.
    const PcmBufferPtr edges = makeTrack(6.0, [](double t) { return t >= 1.234 && t < 4.567; });
    const double edgeIn = 247 * 220 / 44100.0, edgeOut = 916 * 220 / 44100.0;
    const auto click = [](double t) { return t >= 0.5 && t < 0.53 ? 1.0 : 0.0; };
    // 1 kHz stereo, 10 ms windows of 10 frames; 1003 frames leave a 3-frame window.
    const PcmBufferPtr shortLast = makeBuffer(1000, 2, test::makeSamples(1003, 2, [](std::uint64_t f, int c) {
        return f < 300 ? 0.0f : (((f + c) % 2) ? 0.5f : -0.5f);
    }));
    // The tone fills 10 ms windows 100 to 499 exactly; broken samples in the
    // silence and in the tone move neither edge.
    auto broken = std::make_shared<PcmBuffer>(*makeTrack(6.0, [](double t) { return t >= 1.0 && t < 5.0; }));
    for (std::size_t i : {7UL, 44'101UL, 100'003UL, 200'002UL, 230'000UL})
        broken->samples[i] = std::numeric_limits<float>::quiet_NaN();
    broken->samples[150'001] = std::numeric_limits<float>::infinity();
    broken->samples[40'000] = -std::numeric_limits<float>::infinity();
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* name;
        PcmBufferPtr track;
        double windowMs, pre, post, cueIn, cueOut, tolerance;
    } cases[] = {
        {"fades, 5 ms", faded, 5.0, 0, 0, kAudibleFrom, kAudibleUntil, 0.005},
        {"fades, 10 ms", faded, 10.0, 0, 0, kAudibleFrom, kAudibleUntil, 0.01},
        {"fades, 20 ms", faded, 20.0, 0, 0, kAudibleFrom, kAudibleUntil, 0.02},
        {"fades, 50 ms", faded, 50.0, 0, 0, kAudibleFrom, kAudibleUntil, 0.05},
        {"a click before the music is not its start",
         makeTrack(12.0, [&](double t) { return click(t) + (t >= 4.0 && t < 10.0); }), 10.0, 0, 0, 4.0, 10.0, 0.01},
        {"a track that is only a click is kept whole", makeTrack(3.0, click), 10.0, 0, 0, 0.0, 3.0, 0.01},
        {"a 70 ms burst is too short a span: whole", makeTrack(2.0, [](double t) { return t >= 1.0 && t < 1.07; }),
         10.0, 0, 0, 0.0, 2.0, 0.01},
        {"a 300 ms burst is trimmed", makeTrack(2.0, [](double t) { return t >= 1.0 && t < 1.3; }), 10.0, 0, 0,
         1.0, 1.3, 0.01},
        {"silence is kept whole", makeTrack(2.0, [](double) { return 0.0; }), 10.0, 0, 0, 0.0, 2.0, 0.01},
        {"plain rolls", faded, 10.0, 0.5, 1.0, kAudibleFrom - 0.5, kAudibleUntil + 1.0, 0.01},
        {"rolls clamped at both ends", faded, 10.0, 10.0, 10.0, 0.0, 28.5, 0.01},
        {"absurd rolls clamp too", faded, 10.0, inf, 1e300, 0.0, 28.5, 0.01},
        {"negative and NaN rolls count as none", faded, 10.0, -3.0, nan, kAudibleFrom, kAudibleUntil, 0.01},
        // Windows below 5 ms act as 5 ms.
        {"5 ms window", edges, 5.0, 0, 0, edgeIn, edgeOut, 0},
        {"4.99 ms window", edges, 4.99, 0, 0, edgeIn, edgeOut, 0},
        {"1 ms window", edges, 1.0, 0, 0, edgeIn, edgeOut, 0},
        {"0 ms window", edges, 0.0, 0, 0, edgeIn, edgeOut, 0},
        {"negative window", edges, -20.0, 0, 0, edgeIn, edgeOut, 0},
        {"NaN window", edges, nan, 0, 0, edgeIn, edgeOut, 0},
        {"a window longer than the track is one window: nothing to trim", edges, inf, 0, 0, 0.0, 6.0, 0},
        {"a short last window ends at the last frame", shortLast, 10.0, 0, 0, 0.3, 1.003, 0},
        {"broken samples count as silence", broken, 10.0, 0, 0, 1.0, 5.0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TrimResult result = detectTrim(c.track, c.windowMs, c.pre, c.post);
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(result.message, "");
        EXPECT_NEAR(result.durationSeconds, double(c.track->frameCount()) / c.track->sampleRate, 1e-12);
        EXPECT_NEAR(result.cueInSeconds, c.cueIn, c.tolerance ? c.tolerance : 1e-12);
        EXPECT_NEAR(result.cueOutSeconds, c.cueOut, c.tolerance ? c.tolerance : 1e-12);
        EXPECT_LE(result.cueOutSeconds, result.durationSeconds);
    }
}

TEST(Trim, EmptyBuffersFail) {
    for (const PcmBufferPtr& buffer :
         {PcmBufferPtr{}, makeBuffer(kRate, 0, std::vector<float>(100, 0.5f)),
          makeBuffer(0, 1, std::vector<float>(100, 0.5f)), makeBuffer(kRate, 2, {})}) {
        const TrimResult result = detectTrim(buffer, 10.0, 0.0, 0.0);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.message, "Empty PCM buffer.");
        EXPECT_EQ(result.cueOutSeconds, 0.0);
    }
}

// The same samples with block energy, as a decoder attaches it.
PcmBufferPtr withEnergy(const PcmBufferPtr& buffer, std::uint32_t blockFrames) {
    auto copy = std::make_shared<PcmBuffer>(*buffer);
    copy->energy = computeBlockEnergy(copy->samples.data(), copy->frameCount(), copy->channels,
                                      blockFrames);
    return copy;
}

void expectSameTrim(const TrimResult& expected, const TrimResult& actual) {
    EXPECT_EQ(std::tie(actual.ok, actual.message, actual.cueInSeconds, actual.cueOutSeconds, actual.durationSeconds),
              std::tie(expected.ok, expected.message, expected.cueInSeconds, expected.cueOutSeconds,
                       expected.durationSeconds));
}

// Square wave of amplitude `a`: every window of it has level |a| within rounding.
float square(std::uint64_t frame, float a) {
    return frame % 2 ? a : -a;
}

TEST(TrimFromBlockEnergy, AgreesWithTheSamplesToTheSample) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float loud = 0.045f, quiet = 0.003f;  // the thresholds for a peak level of 1
    const struct {
        const char* name;
        int rate, channels;
        double seconds;
        std::function<float(std::uint64_t, int, double)> sample;  // (frame, channel, seconds)
    } tracks[] = {
        {"silence", 44100, 2, 2.0, [](auto, int, double) { return 0.0f; }},
        {"faded tone", 44100, 2, 28.5,
         [](std::uint64_t f, int c, double t) {
             return float((c ? 0.7 : 1.0) * fadedEnvelope(t) * std::sin(0.0627 * double(f)));
         }},
        {"tone at 48 kHz, odd length", 48000, 1, 9.0137,
         [](std::uint64_t f, int, double t) {
             return float((t > 1.5 && t < 7.9) * 0.3 * std::sin(0.05 * double(f)));
         }},
        {"broken samples", 22050, 2, 6.0,
         [=](std::uint64_t f, int c, double t) {
             if (f % 9973 == 0) return c ? inf : nan;
             if (f % 7919 == 0) return -inf;
             return float((t >= 1.0 && t < 5.0) * 0.5 * std::sin(0.1 * double(f)));
         }},
        {"huge and tiny samples", 8000, 1, 5.0,
         [](std::uint64_t f, int, double t) {
             if (t < 1.0) return f % 2 ? 1e-40f : -3e-39f;  // subnormal
             if (t < 1.002) return 1e30f;                    // squares beyond float range
             return float((t < 4.0) * 1e-20 * std::sin(0.3 * double(f)));
         }},
        {"levels at the thresholds", 44100, 1, 6.0,
         [=](std::uint64_t f, int, double t) {
             // Peak level 1, then runs of windows just at, above and below
             // the loud and quiet thresholds.
             if (t >= 3.0 && t < 3.5) return square(f, 1.0f);
             const float steps[] = {
                 loud,  std::nextafter(loud, 0.0f),  std::nextafter(loud, 1.0f),
                 quiet, std::nextafter(quiet, 0.0f), std::nextafter(quiet, 1.0f)};
             return square(f, steps[std::uint64_t(t * 7.0) % 6]);
         }},
        {"one window of a 3-channel sine", 1000, 3, 0.007,
         [](std::uint64_t f, int c, double) {
             return float(0.1 * (c + 1) * std::sin(0.5 * double(f)));
         }},
    };
    for (const auto& track : tracks) {
        SCOPED_TRACE(track.name);
        const PcmBufferPtr buffer = makeBuffer(track.rate, track.channels, test::makeSamples(
            std::uint64_t(track.seconds * track.rate), track.channels,
            [&](std::uint64_t f, int c) { return track.sample(f, c, double(f) / track.rate); }));
        for (std::uint32_t block : {blockEnergyFrames(track.rate), 1u, 7u, 64u, 1000u}) {
            const PcmBufferPtr summarised = withEnergy(buffer, block);
            ASSERT_TRUE(summarised->energy.covers(summarised->frameCount()));
            for (double windowMs : {10.0, 5.0, 7.3, 20.0, 1000.0,
                                    std::numeric_limits<double>::infinity()}) {
                SCOPED_TRACE(testing::Message() << "block " << block << ", window " << windowMs);
                expectSameTrim(detectTrim(buffer, windowMs, 0.0, 0.0),
                               detectTrim(summarised, windowMs, 0.0, 0.0));
                expectSameTrim(detectTrim(buffer, windowMs, 0.31, 1.7),
                               detectTrim(summarised, windowMs, 0.31, 1.7));
            }
        }
    }
}

TEST(TrackTrim, FromAFile) {
    test::TempDir dir;
    TrackDescriptor descriptor;
    descriptor.path = dir.file("faded.wav");
    ASSERT_TRUE(test::writeWav(descriptor.path, makeTrack(28.5, fadedEnvelope, 2)->samples, 2, kRate, SF_FORMAT_FLOAT));
    TrackCache cache;
    const TrimResult fromFile = analyzeTrackTrim(cache, descriptor, 10.0, 0.25, 0.5);
    ASSERT_TRUE(fromFile.ok) << fromFile.message;
    EXPECT_NEAR(fromFile.cueInSeconds, kAudibleFrom - 0.25, 0.01);
    EXPECT_NEAR(fromFile.cueOutSeconds, kAudibleUntil + 0.5, 0.01);
    EXPECT_NEAR(fromFile.durationSeconds, 28.5, 1e-9);
}

}  // namespace
}  // namespace velmora
