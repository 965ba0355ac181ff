// Offline renders of decks from synthetic PCM, checked sample by sample where
// the behaviour is fixed.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <tuple>

#include "decks/limiter.hpp"
#include "support/deck_harness.hpp"
#include "support/test_support.hpp"

namespace velmora {
namespace {

using test::DeckHarness;
using test::makePcm;

std::vector<float> constant(std::size_t frames, int channels, std::vector<float> frameValues) {
    std::vector<float> samples(frames * channels);
    for (std::size_t f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c) samples[f * channels + c] = frameValues[c];
    return samples;
}

float at(const std::vector<float>& out, int channels, std::size_t frame, int channel) {
    return out[frame * channels + channel];
}

// Loads a mono track of one value at 48 kHz and plays it.
void playConstant(DeckHarness& h, const char* id, std::size_t frames, float value) {
    h.load(id, makePcm(48000, 1, constant(frames, 1, {value})));
    h.play(id);
}

// A ramp makes interpolation exact: value = frame index x 1e-4. Stream rates
// below 8 kHz count as 8 kHz.
TEST(MixRender, ResamplesByLinearInterpolation) {
    for (const auto& [streamRate, trackRate, outRate] :
         {std::tuple{48000, 44100, 48000}, std::tuple{4000, 8000, 8000}}) {
        SCOPED_TRACE(streamRate);
        DeckHarness h(streamRate);
        h.load("A", makePcm(trackRate, 1, test::makeSamples(trackRate, 1, [](std::uint64_t f, int) {
            return static_cast<float>(f * 1e-4);
        })));
        h.play("A");
        const auto out = h.render(4800);
        const double step = double(trackRate) / outRate;
        for (std::size_t n : {96U, 100U, 1000U, 4799U}) {
            EXPECT_NEAR(at(out, 2, n, 0), n * step * 1e-4, 1e-6) << "frame " << n;
            EXPECT_EQ(at(out, 2, n, 0), at(out, 2, n, 1));
        }
        Deck& d = h.pulled("A");
        EXPECT_NEAR(d.positionFrames, 4800 * step, 1e-6);
        EXPECT_NEAR(d.state.positionSeconds, 4800.0 / outRate, 1e-9);
    }
}

struct RoutingCase {
    const char* name;
    int trackChannels;
    std::vector<float> frame;
    int outChannels;
    int offset;
    int count;
    std::vector<float> expected;
};

TEST(MixRender, RoutesOntoOutputChannels) {
    const RoutingCase cases[] = {
        {"mono track to a pair", 1, {0.5f}, 2, 0, 2, {0.5f, 0.5f}},
        {"pair to a mono send", 2, {0.2f, 0.6f}, 2, 0, 1, {0.4f, 0.0f}},
        {"pair at offset 2", 2, {0.2f, 0.6f}, 4, 2, 2, {0.0f, 0.0f, 0.2f, 0.6f}},
        {"mono send at offset 3", 2, {0.2f, 0.6f}, 4, 3, 1, {0.0f, 0.0f, 0.0f, 0.4f}},
        // Channels beyond those rendered (a device with fewer) are not heard.
        {"offset past the last channel", 2, {0.2f, 0.6f}, 2, 5, 2, {0.0f, 0.0f}},
        {"pair over the last channel", 2, {0.2f, 0.6f}, 2, 1, 2, {0.0f, 0.2f}},
        {"mono send past the last channel", 2, {0.2f, 0.6f}, 2, 2, 1, {0.0f, 0.0f}},
        {"wide send only widens", 2, {0.2f, 0.6f}, 6, 1, 4, {0.0f, 0.2f, 0.6f, 0.0f, 0.0f, 0.0f}},
    };
    for (const RoutingCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeckHarness h(48000, c.outChannels);
        Deck& d = h.deck("A");
        d.state.output.channelOffset = c.offset;
        d.state.output.channelCount = c.count;
        h.load("A", makePcm(48000, c.trackChannels, constant(1000, c.trackChannels, c.frame)));
        h.play("A");
        const auto out = h.render(200);
        for (int ch = 0; ch < c.outChannels; ++ch) EXPECT_FLOAT_EQ(at(out, c.outChannels, 150, ch), c.expected[ch]);
    }
}

TEST(MixRender, DeclickRampsInAgainAfterASeekAndVolumeChangesKeepThePlayhead) {
    DeckHarness h;
    h.setLimiter(false, 0.98);
    playConstant(h, "A", 480000, 1.0f);
    auto out = h.render(4800);
    EXPECT_EQ(at(out, 2, 0, 0), 0.0f);
    for (int k : {1, 48, 95}) EXPECT_FLOAT_EQ(at(out, 2, k, 0), k / 96.0f);
    EXPECT_EQ(at(out, 2, 96, 0), 1.0f);
    // A volume change publishes no position: the playhead keeps moving on.
    h.apply("A", [](Deck& d) { return applyDeckVolume(d, 0.5); });
    h.render(4800);
    EXPECT_NEAR(h.pulled("A").state.positionSeconds, 0.2, 1e-9);
    // A seek during playback lands, and arms the declick again.
    h.apply("A", [](Deck& d) { return applySeek(d, 5.0, nullptr); });
    out = h.render(480);
    EXPECT_EQ(at(out, 2, 0, 0), 0.0f);
    EXPECT_NEAR(h.pulled("A").state.positionSeconds, 5.01, 1e-9);
}

// A fade follows the ease-out cubic, overrides a volume change made during
// it, ends exactly on its target and, even at zero, leaves the deck playing.
TEST(MixRender, FadeFollowsEaseOutCubicOverridesVolumeAndEndsOnTarget) {
    for (const auto& [durationMs, target] : {std::pair{1000, 0.0}, std::pair{100, 0.25}}) {
        SCOPED_TRACE(target);
        DeckHarness h;
        h.setLimiter(false, 0.98);
        playConstant(h, "A", 200000, 1.0f);
        h.render(256);
        h.apply("A", [&](Deck& d) { return applyFade(d, durationMs, target, 48000, h.frameClock); });
        const std::uint32_t half = static_cast<std::uint32_t>(durationMs) * 24;
        auto out = h.render(half + 1);
        EXPECT_FLOAT_EQ(at(out, 2, 0, 0), 1.0f);
        EXPECT_NEAR(at(out, 2, half, 0), 1.0 + 0.875 * (target - 1.0), 1e-7);  // halfway
        h.apply("A", [](Deck& d) { return applyDeckVolume(d, 4.0); });
        out = h.render(half + 512);
        EXPECT_LT(at(out, 2, 0, 0), 1.0f);
        EXPECT_FLOAT_EQ(at(out, 2, half - 1, 0), static_cast<float>(target));
        EXPECT_FLOAT_EQ(at(out, 2, half + 511, 0), static_cast<float>(target));
        Deck& d = h.pulled("A");
        EXPECT_EQ(d.state.deckVolume, target);
        EXPECT_FALSE(d.fade.active);
        EXPECT_TRUE(d.state.playing);
    }
}

TEST(MixRender, CueOutEndsTheTrack) {
    DeckHarness h;
    TrackDescriptor track;
    track.cueOut = 1.0;
    h.load("A", makePcm(48000, 2, constant(96000, 2, {0.3f, 0.3f})), track);
    h.play("A");
    const auto out = h.render(72000);
    EXPECT_NE(at(out, 2, 47999, 0), 0.0f);
    EXPECT_EQ(at(out, 2, 48000, 0), 0.0f);
    Deck& d = h.pulled("A");
    EXPECT_FALSE(d.state.playing);
    EXPECT_FALSE(d.state.paused);
    EXPECT_TRUE(d.state.loaded);
    EXPECT_DOUBLE_EQ(d.state.positionSeconds, 1.0);
    EXPECT_DOUBLE_EQ(d.positionFrames, 48000.0);
    EXPECT_EQ(d.state.meter.peakL, 0.0);
}

TEST(MixRender, MetersOfAFullScaleSineAtHalfVolume) {
    DeckHarness h;
    // 1 kHz at 48 kHz: 48 frames a period, 480-frame buffers hold whole periods.
    h.load("A", makePcm(48000, 2, test::makeSine(48000, 2, 48000, 1000.0, 1.0)));
    h.apply("A", [](Deck& d) { return applyDeckVolume(d, 0.5); });
    h.play("A");
    h.render(960, 480);
    Deck& d = h.pulled("A");
    EXPECT_NEAR(d.state.meter.peakL, 0.5, 1e-3);
    EXPECT_NEAR(d.state.meter.rmsR, 0.5 * std::numbers::sqrt2 / 2, 1e-3);
    EXPECT_NEAR(d.state.trackMeter.peakR, 1.0, 1e-3);
    EXPECT_NEAR(d.state.trackMeter.rmsL, std::numbers::sqrt2 / 2, 1e-3);

    h.apply("A", [](Deck& d) { return applyPause(d); });
    h.render(480, 480);
    EXPECT_EQ(h.pulled("A").state.meter.peakL, 0.0);
    EXPECT_EQ(h.pulled("A").state.trackMeter.rmsR, 0.0);
}

// The meters of a deck clamp at 2 whatever its gain.
TEST(MixRender, TwoDecksSumThenTheLimiterHoldsTheCeilingAndMetersClampAtTwo) {
    DeckHarness h;
    for (const char* id : {"A", "B"}) playConstant(h, id, 48000, 0.75f);
    h.apply("A", [](Deck& d) { return applyTrackGain(d, 4.0); });
    h.render(256);  // declick buffer
    const std::uint64_t before = h.limiterEngaged.load();
    const auto out = h.render(256);
    EXPECT_FLOAT_EQ(at(out, 2, 10, 0), 0.98f);
    EXPECT_EQ(h.limiterEngaged.load(), before + 1);
    EXPECT_EQ(h.pulled("A").state.meter.peakL, 2.0);
    EXPECT_EQ(h.pulled("A").state.trackMeter.peakL, 2.0);
    EXPECT_EQ(h.pulled("B").state.meter.peakL, 0.75);
}

// Scales once to the ceiling and flushes tiny values; disabled, it only clips
// and silences NaN. The ceiling is held within [0.5, 0.9999].
TEST(Limiter, ScalesOnceClipsAndFlushes) {
    const struct {
        std::vector<float> in;
        bool enabled;
        double ceiling;
        std::vector<float> out;
        bool engaged;
    } cases[] = {
        {{1.5f, -0.75f, 0.3f, 1e-25f}, true, 0.98, {0.98f, -0.75f * 0.98f / 1.5f, 0.3f * 0.98f / 1.5f, 0.0f}, true},
        {{1.5f, -2.0f, 0.5f, std::nanf("")}, false, 0.98, {1.0f, -1.0f, 0.5f, 0.0f}, false},
        {{2.0f}, true, 0.2, {0.5f}, true},
        {{2.0f}, true, 1.0, {0.9999f}, true},
        {{0.98f}, true, 0.98, {0.98f}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.in[0] << ", ceiling " << c.ceiling << (c.enabled ? "" : ", disabled"));
        std::vector<float> buffer = c.in;
        EXPECT_EQ(applyMasterLimiter(buffer.data(), buffer.size(), c.enabled, c.ceiling), c.engaged);
        for (std::size_t i = 0; i < buffer.size(); ++i) EXPECT_FLOAT_EQ(buffer[i], c.out[i]) << i;
    }
}

// Stereo noise: an index or fraction off by even a little shows.
std::vector<float> stereoNoise(std::uint64_t frames) {
    std::uint32_t state = 12345;
    return test::makeSamples(frames, 2, [&](std::uint64_t, int) {
        state = state * 1664525U + 1013904223U;
        return static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    });
}

struct Scenario {
    const char* name;
    int trackRate;
    double seekSeconds;  // < 0: play from the start
};

const Scenario kScenarios[] = {
    // 147/160 steps from frame 0: every 160th frame falls on a whole frame.
    {"44.1 kHz from the start", 44100, -1.0},
    {"44.1 kHz after a seek", 44100, 1.2345678},
    {"48 kHz, whole-frame positions", 48000, -1.0},
    {"48 kHz between frames", 48000, 0.00001},
    {"96 kHz, two frames a step", 96000, 0.5},
    {"22.05 kHz", 22050, 0.25},
};

struct Layout {
    const char* name;
    int outChannels;
    int offset;
    int count;
};

const Layout kLayouts[] = {{"pair", 2, 0, 2}, {"pair at offset 2", 4, 2, 2}, {"mono send", 2, 0, 1}};

// Loads the scenario's noise on deck A with a track gain of 0.8, seeks and plays.
void playScenario(DeckHarness& h, const Scenario& s, const std::vector<float>& track) {
    h.setLimiter(false, 0.98);
    h.load("A", makePcm(s.trackRate, 2, track));
    h.apply("A", [](Deck& d) { return applyTrackGain(d, 0.8); });
    if (s.seekSeconds >= 0.0) h.apply("A", [&](Deck& d) { return applySeek(d, s.seekSeconds, nullptr); });
    h.play("A");
}

// The render's output and both meters after each buffer.
struct Recording {
    std::vector<float> out;
    std::vector<MeterValues> meters;
};

// Plays a deck through declick, a fade that starts and ends inside buffers,
// a steady stretch and a second fade, in buffers of `bufferFrames`.
Recording record(const Scenario& s, const Layout& layout, std::uint32_t bufferFrames, bool vector) {
    setVectorRender(vector);
    DeckHarness h(48000, layout.outChannels);
    Deck& d = h.deck("A");
    d.state.output.channelOffset = layout.offset;
    d.state.output.channelCount = layout.count;
    playScenario(h, s, stereoNoise(static_cast<std::uint64_t>(s.trackRate) * 3));
    Recording r;
    auto run = [&](std::uint32_t frames) {
        while (frames > 0) {
            const std::uint32_t n = std::min(frames, bufferFrames);
            const auto out = h.render(n, n);
            r.out.insert(r.out.end(), out.begin(), out.end());
            const Deck& pulled = h.pulled("A");
            r.meters.push_back(pulled.state.meter);
            r.meters.push_back(pulled.state.trackMeter);
            frames -= n;
        }
    };
    run(700);
    h.apply("A", [&](Deck& d) { return applyFade(d, 30, 0.3, 48000, h.frameClock + 41); });
    run(3000);
    h.apply("A", [&](Deck& d) { return applyFade(d, 100, 1.5, 48000, h.frameClock); });
    run(2500);
    setVectorRender(true);
    return r;
}

// The AVX2 kernels (where the CPU has them) and the portable ones give the
// same samples and meters to the bit, whatever the rate, routing, buffer
// size (kernel tails) and gains.
TEST(MixRender, VectorAndPortableRendersAreIdentical) {
    for (const Scenario& s : kScenarios)
        for (const Layout& layout : kLayouts)
            for (std::uint32_t bufferFrames : {256U, 1001U, 61U}) {
                SCOPED_TRACE(std::string(s.name) + ", " + layout.name + ", buffers of " + std::to_string(bufferFrames));
                const Recording portable = record(s, layout, bufferFrames, false);
                const Recording vector = record(s, layout, bufferFrames, true);
                ASSERT_EQ(portable.out.size(), vector.out.size());
                for (std::size_t i = 0; i < portable.out.size(); ++i)
                    ASSERT_EQ(portable.out[i], vector.out[i]) << "sample " << i;
                for (std::size_t i = 0; i < portable.meters.size(); ++i) {
                    const MeterValues &p = portable.meters[i], &v = vector.meters[i];
                    EXPECT_EQ(std::tie(p.peakL, p.peakR, p.rmsL, p.rmsR), std::tie(v.peakL, v.peakR, v.rmsL, v.rmsR))
                        << "meter " << i;
                }
            }
}

// Frame by frame in double, as the render is defined: the frame at
// pos0 + n x step interpolated between its neighbours, times trackGain and
// the fade's ease-out cubic, all computed here from the requests alone.
// Checked after the declick ramp.
TEST(MixRender, StereoRenderFollowsTheFrameByFrameDefinition) {
    // A 40 ms fade from volume 1 to 0.25, starting 100 frames into the
    // second buffer.
    constexpr std::uint64_t kFadeStart = 256 + 100, kFadeFrames = 40 * 48;
    for (const Scenario& s : kScenarios) {
        SCOPED_TRACE(s.name);
        const std::vector<float> track = stereoNoise(static_cast<std::uint64_t>(s.trackRate) * 3);
        const double step = s.trackRate / 48000.0;
        const double startFrame = s.seekSeconds >= 0.0 ? s.seekSeconds * s.trackRate : 0.0;
        DeckHarness h(48000);
        playScenario(h, s, track);
        h.render(256);
        h.apply("A", [&](Deck& d) { return applyFade(d, 40, 0.25, 48000, kFadeStart); });
        for (int buffer = 0; buffer < 24; ++buffer) {
            const std::uint64_t clock = 256 + 256 * static_cast<std::uint64_t>(buffer);
            const auto out = h.render(256, 256);
            double peak[2] = {0.0, 0.0}, sum[2] = {0.0, 0.0};
            double trackPeak[2] = {0.0, 0.0}, trackSum[2] = {0.0, 0.0};
            for (std::uint32_t i = 0; i < 256; ++i) {
                const std::uint64_t at = clock + i;
                const double p = startFrame + static_cast<double>(at) * step;
                const auto i0 = static_cast<std::uint64_t>(p);
                const double frac = p - static_cast<double>(i0);
                const double t = at <= kFadeStart ? 0.0 : static_cast<double>(at - kFadeStart) / kFadeFrames;
                const double u = 1.0 - std::min(t, 1.0);
                const double volume = 1.0 + (1.0 - u * u * u) * (0.25 - 1.0);
                // The track meter follows the fade's shape while it runs (it
                // starts at volume 1, the larger end point), then the track.
                const double trackFactor = t < 1.0 ? volume : 1.0;
                const double gain = 0.8 * volume;
                for (int c = 0; c < 2; ++c) {
                    const double s0 = track[i0 * 2 + c], s1 = track[i0 * 2 + 2 + c];
                    const double x = static_cast<float>(s0 + (s1 - s0) * frac);
                    const double expected = x * gain;
                    ASSERT_NEAR(out[i * 2 + c], expected, 1e-6 * std::abs(expected) + 1e-7)
                        << "buffer " << buffer << ", frame " << i << ", channel " << c;
                    peak[c] = std::max(peak[c], std::abs(expected));
                    sum[c] += expected * expected;
                    const double track = x * 0.8 * trackFactor;
                    trackPeak[c] = std::max(trackPeak[c], std::abs(track));
                    trackSum[c] += track * track;
                }
            }
            const DeckState& state = h.pulled("A").state;
            for (const auto& [m, p, s] :
                 {std::tuple{state.meter, peak, sum}, std::tuple{state.trackMeter, trackPeak, trackSum}})
                for (int c = 0; c < 2; ++c) {
                    EXPECT_NEAR(c ? m.peakR : m.peakL, p[c], 1e-6 * p[c]) << "buffer " << buffer << ", channel " << c;
                    const double rms = std::sqrt(s[c] / 256);
                    EXPECT_NEAR(c ? m.rmsR : m.rmsL, rms, 1e-5 * rms) << "buffer " << buffer << ", channel " << c;
                }
        }
    }
}

// A track whose last frames fall on whole positions plays to its end on both
// kernels, with the right last samples and nothing read past the end.
TEST(MixRender, WholeFramePositionsUpToTheEnd) {
    // 44101 frames at 44.1 kHz on 48 kHz: frame 48000 sits exactly on the last one.
    auto ramp = test::makeSamples(44101, 2, [](std::uint64_t f, int c) {
        return static_cast<float>((c == 0 ? 1.0 : -1.0) * static_cast<double>(f) * 1e-5);
    });
    for (bool vector : {false, true}) {
        SCOPED_TRACE(vector ? "vector" : "portable");
        setVectorRender(vector);
        DeckHarness h(48000);
        h.setLimiter(false, 0.98);
        h.load("A", makePcm(44100, 2, ramp));
        h.play("A");
        const auto out = h.render(48256, 256);
        setVectorRender(true);
        // Frames 48000 and 48001 (clamped) are the last; 48002 would be past the end.
        for (std::size_t n : {160U, 47840U, 47999U, 48000U, 48001U}) {
            const double pos = std::min(n * (44100.0 / 48000.0), 44100.0);
            EXPECT_NEAR(at(out, 2, n, 0), pos * 1e-5, 1e-6) << "frame " << n;
            EXPECT_NEAR(at(out, 2, n, 1), -pos * 1e-5, 1e-6) << "frame " << n;
        }
        EXPECT_EQ(at(out, 2, 48002, 0), 0.0f);
        EXPECT_FALSE(h.pulled("A").state.playing);
    }
}

}  // namespace
}  // namespace velmora
