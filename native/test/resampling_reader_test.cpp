#include "decoding/resampling_reader.hpp"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <numbers>

#include "support/test_support.hpp"

namespace velmora {
namespace {

using test::TempDir;

std::vector<float> readAll(ResamplingReader& reader, std::size_t chunk) {
    std::vector<float> out;
    std::vector<float> buffer(chunk * reader.channels());
    while (std::size_t got = reader.read(buffer.data(), chunk))
        out.insert(out.end(), buffer.begin(), buffer.begin() + got * reader.channels());
    return out;
}

double sineAt(double seconds) {
    return 0.5 * std::sin(2.0 * std::numbers::pi * 997.0 * seconds);
}

// 44.1 kHz in, 48 kHz out: same tone, same level, same phase, whole tail;
// and after a seek the tone goes on from the frame sought.
TEST(ResamplingReader, ResampledSineKeepsFrequencyLevelLengthAndSeeks) {
    TempDir dir;
    const std::string path = dir.file("sine.wav");
    const std::uint64_t inFrames = 44'100 * 2 + 17;
    ASSERT_TRUE(test::writeWav(path, test::makeSine(inFrames, 2, 44'100, 997.0, 0.5), 2, 44'100,
                               SF_FORMAT_FLOAT));
    ResamplingReader reader;
    ASSERT_TRUE(reader.open(path, 48'000));
    EXPECT_EQ(reader.channels(), 2);
    EXPECT_EQ(reader.fileRate(), 44'100);
    EXPECT_NEAR(static_cast<double>(reader.lengthFrames()), inFrames * 48'000.0 / 44'100.0, 2.0);
    const std::vector<float> out = readAll(reader, 1000);
    ASSERT_EQ(out.size() / 2, reader.lengthFrames());
    EXPECT_FALSE(reader.readError());

    // Away from the edges the output is the same sine sampled at 48 kHz.
    double maxError = 0.0, sumSquares = 0.0;
    std::size_t counted = 0;
    for (std::size_t f = 2000; f + 2000 < out.size() / 2; ++f) {
        for (int c = 0; c < 2; ++c, ++counted) {
            maxError = std::max(maxError, std::fabs(out[f * 2 + c] - sineAt(f / 48'000.0)));
            sumSquares += static_cast<double>(out[f * 2 + c]) * out[f * 2 + c];
        }
    }
    EXPECT_LT(maxError, 1e-3);
    EXPECT_NEAR(std::sqrt(sumSquares / counted), 0.5 / std::sqrt(2.0), 1e-3);

    // 0.5 s is an exact input frame; past the resampler's start-up the
    // samples follow the sine from there.
    const std::uint64_t target = 24'000;
    ASSERT_TRUE(reader.seek(target));
    std::vector<float> after(4000 * 2);
    ASSERT_EQ(reader.read(after.data(), 4000), 4000U);
    for (std::size_t i = 200; i < 4000; ++i)
        ASSERT_NEAR(after[i * 2], sineAt((target + i) / 48'000.0), 2e-3) << i;
}

// At the file's own rate the reader passes samples through untouched, and a
// seek lands on the very frame asked for.
TEST(ResamplingReader, PassThroughIsBitExactWhateverTheReadSizeAndSeeksToTheFrame) {
    TempDir dir;
    const std::string path = dir.file("noise.wav");
    const auto samples = test::makeSamples(10'007, 3, [](std::uint64_t f, int c) {
        return static_cast<float>(std::sin(f * 0.37 + c) * 0.9);
    });
    ASSERT_TRUE(test::writeWav(path, samples, 3, 48'000, SF_FORMAT_FLOAT));
    for (std::size_t chunk : {1U, 333U, 65'536U}) {
        SCOPED_TRACE(chunk);
        ResamplingReader reader;
        ASSERT_TRUE(reader.open(path, 48'000));
        EXPECT_EQ(reader.lengthFrames(), 10'007U);
        EXPECT_EQ(readAll(reader, chunk), samples);
        float frame[3];
        for (std::uint64_t target : {1'234ULL, 0ULL, 10'006ULL}) {
            ASSERT_TRUE(reader.seek(target));
            EXPECT_EQ(reader.position(), target);
            ASSERT_EQ(reader.read(frame, 1), 1U);
            EXPECT_EQ(std::vector<float>(frame, frame + 3),
                      std::vector<float>(samples.begin() + target * 3, samples.begin() + target * 3 + 3))
                << "after a seek to " << target;
        }
        ASSERT_TRUE(reader.seek(10'007));
        EXPECT_EQ(reader.read(frame, 1), 0U);
    }
}

}  // namespace
}  // namespace velmora
