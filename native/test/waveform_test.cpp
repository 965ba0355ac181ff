#include "analysis/waveform.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "support/test_support.hpp"

namespace velmora {
namespace {

using test::TempDir;
constexpr std::int32_t kRate = 48'000;

TrackDescriptor trackAt(const std::string& path) {
    TrackDescriptor track;
    track.path = path;
    return track;
}

// Writes a float WAV (at the engine rate, so no resampling blurs the values).
std::string writeTrack(const TempDir& dir, const std::vector<float>& samples, int channels = 1,
                       int rate = kRate) {
    const std::string path = dir.file("track.wav");
    EXPECT_TRUE(test::writeWav(path, samples, channels, rate, SF_FORMAT_FLOAT));
    return path;
}

WaveformResult waveformOf(const std::vector<float>& samples) {
    const TempDir dir;
    return computeWaveform(kRate, trackAt(writeTrack(dir, samples)), 64);
}

// A 1 s tone at 44.1 kHz: the bucket count follows maxPoints within its
// bounds, and the rate reported is the engine's (at least 8 kHz).
TEST(Waveform, BucketCountFollowsMaxPointsAndTheRateIsTheEngines) {
    TempDir dir;
    const std::string path = writeTrack(dir, test::makeSine(44'100, 2, 44'100, 440.0, 0.5), 2, 44'100);
    const struct {
        std::int32_t engineRate, maxPoints, rate;
        std::size_t buckets;
    } cases[] = {
        {kRate, 0, kRate, 1200},   {kRate, -1, kRate, 1200},   {kRate, 10, kRate, 64},
        {kRate, 64, kRate, 64},    {kRate, 5000, kRate, 5000}, {96'000, 64, 96'000, 64},
        {4000, 64, 8000, 64},      {0, 64, 8000, 64},
        {kRate, std::numeric_limits<std::int32_t>::max(), kRate, static_cast<std::size_t>(kMaxWaveformPoints)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.engineRate << " Hz, " << c.maxPoints << " points");
        const WaveformResult result = computeWaveform(c.engineRate, trackAt(path), c.maxPoints);
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(result.peaks.size(), c.buckets);
        EXPECT_EQ(result.sampleRate, c.rate);
        EXPECT_NEAR(result.durationSeconds, 1.0, 1e-4);
        if (c.buckets == 64) {
            EXPECT_NEAR(result.peaks[32].amp, 1.0, 0.02);  // a whole 440 Hz period in each bucket
        }
    }
}

TEST(Waveform, RampGivesExactBucketValues) {
    // 64 buckets of 100 frames; the first frame (-1) is the loudest, so no scaling.
    const auto ramp = test::makeSamples(6400, 1, [](std::uint64_t f, int) {
        return static_cast<float>((static_cast<double>(f) - 3200.0) / 3200.0);
    });
    const WaveformResult result = waveformOf(ramp);
    ASSERT_TRUE(result.ok);
    ASSERT_EQ(result.peaks.size(), 64U);
    EXPECT_DOUBLE_EQ(result.durationSeconds, 6400.0 / kRate);
    EXPECT_EQ(result.channels, 1);
    for (std::size_t b = 0; b < 64; ++b) {
        double sum = 0.0;
        for (std::size_t f = b * 100; f < (b + 1) * 100; ++f) sum += std::fabs(ramp[f]);
        const WaveformPeak& p = result.peaks[b];
        EXPECT_DOUBLE_EQ(p.min, ramp[b * 100]) << b;
        EXPECT_DOUBLE_EQ(p.max, ramp[b * 100 + 99]) << b;
        EXPECT_NEAR(p.avg, sum / 100.0, 1e-12) << b;
        EXPECT_DOUBLE_EQ(p.amp, std::max({std::fabs(p.min), std::fabs(p.max), p.avg})) << b;
    }
    EXPECT_DOUBLE_EQ(result.peaks[0].amp, 1.0);
}

// Silence stays at zero; a tiny signal is scaled up to full height.
TEST(Waveform, SilenceAndTinySignalsStayFinite) {
    for (const auto& [samples, peak] : {std::pair{std::vector<float>(9600, 0.0f), 0.0},
                                        std::pair{test::makeSine(9600, 1, kRate, 1000.0, 1e-7), 1.0}}) {
        SCOPED_TRACE(peak);
        const WaveformResult result = waveformOf(samples);
        ASSERT_TRUE(result.ok);
        double highest = 0.0;
        for (const WaveformPeak& p : result.peaks) {
            ASSERT_TRUE(std::isfinite(p.min) && std::isfinite(p.max) && std::isfinite(p.avg) &&
                        std::isfinite(p.amp));
            highest = std::max(highest, p.amp);
        }
        EXPECT_NEAR(highest, peak, peak * 1e-9);  // silence: exactly zero
    }
}

// A track shorter than the bucket count: empty buckets are zero and do not
// hold the real peaks down.
TEST(Waveform, EmptyBucketsReportZeros) {
    const WaveformResult result = waveformOf(
        test::makeSamples(10, 1, [](std::uint64_t f, int) { return f == 3 ? 0.5f : 0.1f; }));
    ASSERT_TRUE(result.ok);
    ASSERT_EQ(result.peaks.size(), 64U);
    std::vector<std::size_t> filled;
    for (std::size_t b = 0; b < 64; ++b)
        if (result.peaks[b].amp != 0.0) filled.push_back(b);
    // Frame g lands in bucket g * 64 / 10.
    EXPECT_EQ(filled, (std::vector<std::size_t>{0, 6, 12, 19, 25, 32, 38, 44, 51, 57}));
    EXPECT_DOUBLE_EQ(result.peaks[19].amp, 1.0);
    EXPECT_NEAR(result.peaks[0].amp, 0.2, 1e-7);
    const WaveformPeak& empty = result.peaks[1];
    EXPECT_TRUE(empty.min == 0.0 && empty.max == 0.0 && empty.avg == 0.0);
}

// A FLAC stream written through a pipe does not record its length; the
// track must still spread over all buckets.
TEST(Waveform, UnknownLengthStillFillsEveryBucket) {
    TempDir dir;
    const std::string wav = writeTrack(dir, test::makeSamples(kRate, 1, [](std::uint64_t f, int) {
        return static_cast<float>((f < kRate / 2 ? 0.1 : 0.8) * std::sin(2.0 * std::numbers::pi * 1000.0 * f / kRate));
    }));
    const std::string flac = dir.file("streamed.flac");
    if (test::runQuiet("(sox '" + wav + "' -b 16 -t raw - | flac -s --force-raw-format --endian=little "
                       "--sign=signed --channels=1 --bps=16 --sample-rate=48000 - -c | cat > '" + flac + "')") != 0)
        GTEST_SKIP() << "sox/flac unavailable";
    const WaveformResult result = computeWaveform(kRate, trackAt(flac), 64);
    ASSERT_TRUE(result.ok);
    EXPECT_NEAR(result.durationSeconds, 1.0, 1e-9);
    for (std::size_t b = 0; b < 64; ++b)
        EXPECT_NEAR(result.peaks[b].amp, b < 32 ? 0.125 : 1.0, 0.01) << b;
}

}  // namespace
}  // namespace velmora
