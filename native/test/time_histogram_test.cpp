#include "realtime/time_histogram.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <utility>
#include <vector>

namespace velmora {
namespace {

using H = TimeHistogram;

TEST(TimeHistogram, BucketsTileTheRangeWithinTheirResolution) {
    // Every value lies in its bucket, buckets meet edge to edge, and none is
    // wider than 1/64 of its values (exact below 128 ns).
    for (std::size_t b = 0; b + 1 < H::kRegularBuckets; ++b) {
        const std::uint64_t low = H::lowerBound(b);
        const std::uint64_t high = H::upperBound(b);
        ASSERT_LT(low, high) << b;
        ASSERT_EQ(H::bucketOf(low), b);
        ASSERT_EQ(H::bucketOf(high - 1), b);
        ASSERT_EQ(H::bucketOf(high), b + 1);
        if (low >= 128) ASSERT_LE(static_cast<double>(high - low) / static_cast<double>(low), 1.0 / 64) << b;
        else ASSERT_EQ(high - low, 1u);
    }
    EXPECT_EQ(H::bucketOf(H::kOverflowNs - 1), H::kRegularBuckets - 1);
    EXPECT_EQ(H::upperBound(H::kRegularBuckets - 1), H::kOverflowNs);
    EXPECT_EQ(H::bucketOf(H::kOverflowNs), H::kRegularBuckets);
    EXPECT_EQ(H::bucketOf(~0ULL), H::kRegularBuckets);
    EXPECT_GE(H::kOverflowNs, 100'000'000u);  // 100 ms fits
}

// Each case is then reset, which must empty it, overflow included.
TEST(TimeHistogram, PercentilesAndReset) {
    constexpr double kInf = INFINITY;
    struct Case {
        const char* name;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> values;  // value ns, how many
        std::vector<std::pair<double, double>> expected;             // percent, true value ns
        double tolerance;                                             // relative
    };
    std::vector<std::pair<std::uint64_t, std::uint64_t>> uniform;
    for (std::uint64_t us = 1; us <= 1000; ++us) uniform.push_back({us * 1000, 1});
    const std::vector<Case> cases = {
        {"empty", {}, {{50, 0}, {100, 0}}, 0},
        {"one value", {{250'000, 1}}, {{0, 250'000}, {50, 250'000}, {100, 250'000}}, 1.0 / 64},
        {"exact below 128 ns", {{5, 1}, {6, 1}, {7, 1}, {8, 1}}, {{25, 5}, {50, 6}, {75, 7}, {100, 8}}, 0},
        {"uniform 1 us to 1 ms", uniform, {{50, 500'000}, {99, 990'000}, {99.9, 999'000}, {100, 1'000'000}},
         1.0 / 64},
        // The rank of p99.99 in 10000 values is 9999 (and of p99.9 in 1000,
        // 999): one outlier is above it, two are not.
        {"one outlier in 10000", {{100'000, 9'999}, {5'000'000, 1}}, {{99.99, 100'000}, {100, 5'000'000}},
         1.0 / 64},
        {"one outlier in 1000", {{100'000, 999}, {5'000'000, 1}}, {{99.9, 100'000}, {100, 5'000'000}}, 1.0 / 64},
        {"two outliers in 10000", {{100'000, 9'998}, {5'000'000, 2}}, {{99.98, 100'000}, {99.99, 5'000'000}},
         1.0 / 64},
        {"beyond the last bucket", {{2'000'000, 3}, {1'000'000'000, 1}}, {{75, 2'000'000}, {100, kInf}}, 1.0 / 64},
        {"all beyond", {{H::kOverflowNs, 2}}, {{1, kInf}, {100, kInf}}, 0},
    };
    for (const Case& c : cases) {
        auto histogram = std::make_unique<H>();
        std::uint64_t total = 0;
        for (const auto& [ns, n] : c.values) {
            total += n;
            for (std::uint64_t i = 0; i < n; ++i) histogram->record(ns);
        }
        const H::Snapshot s = histogram->snapshot();
        EXPECT_EQ(s.total, total) << c.name;
        for (const auto& [percent, ns] : c.expected) {
            const double got = s.percentileNs(percent);
            if (total == 0) {
                EXPECT_EQ(got, 0.0) << c.name;
                continue;
            }
            if (std::isinf(ns)) {
                EXPECT_TRUE(std::isinf(got)) << c.name << " p" << percent << " = " << got;
                continue;
            }
            // Never below the true value, and within one bucket above it.
            EXPECT_GE(got, ns) << c.name << " p" << percent;
            EXPECT_LE(got, ns * (1.0 + c.tolerance) + 1.0) << c.name << " p" << percent;
        }
        histogram->reset();
        EXPECT_EQ(histogram->snapshot().total, 0u) << c.name;
        EXPECT_EQ(histogram->snapshot().percentileNs(100), 0.0) << c.name;
    }
}

}  // namespace
}  // namespace velmora
