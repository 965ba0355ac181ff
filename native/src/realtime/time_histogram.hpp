#pragma once
// Counts durations in log-linear buckets so that tail percentiles of the
// callback time can be read after a long run without keeping every sample.
//
// Thread roles: any number of recorders (the render records one value per
// callback with a single relaxed fetch_add: no lock, no allocation); readers
// take a snapshot at any time. A snapshot taken while recording goes on may
// miss the values recorded during the copy, never more.
//
// Buckets, in nanoseconds: below 128 one per nanosecond; above, every power
// of two is split into 64, so a bucket is at most 1/64 (1.6 %) of its values
// wide. The last regular bucket ends at 2^27 ns (134 ms); longer values are
// counted in one overflow bucket.

#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace velmora {

class TimeHistogram {
public:
    static constexpr int kSubBucketBits = 6;
    static constexpr std::uint64_t kSubBuckets = 1ULL << kSubBucketBits;  // per power of two
    static constexpr int kTopBit = 27;                                     // values < 2^27 ns
    static constexpr std::uint64_t kOverflowNs = 1ULL << kTopBit;
    static constexpr std::size_t kRegularBuckets = (kTopBit - kSubBucketBits) * kSubBuckets + kSubBuckets;
    static constexpr std::size_t kBuckets = kRegularBuckets + 1;  // the last is the overflow

    static constexpr std::size_t bucketOf(std::uint64_t ns) noexcept {
        if (ns >= kOverflowNs) return kRegularBuckets;
        if (ns < 2 * kSubBuckets) return static_cast<std::size_t>(ns);
        const int shift = static_cast<int>(std::bit_width(ns)) - 1 - kSubBucketBits;
        return static_cast<std::size_t>(shift) * kSubBuckets + static_cast<std::size_t>(ns >> shift);
    }
    // The smallest value of a bucket, and one past its largest.
    static constexpr std::uint64_t lowerBound(std::size_t bucket) noexcept {
        if (bucket >= kRegularBuckets) return kOverflowNs;
        if (bucket < 2 * kSubBuckets) return bucket;
        const std::uint64_t shift = bucket / kSubBuckets - 1;
        return (bucket - shift * kSubBuckets) << shift;
    }
    static constexpr std::uint64_t upperBound(std::size_t bucket) noexcept {
        if (bucket >= kRegularBuckets) return std::numeric_limits<std::uint64_t>::max();
        return lowerBound(bucket + 1);
    }

    struct Snapshot {
        std::array<std::uint64_t, kBuckets> counts{};
        std::uint64_t total = 0;

        // The upper bound, in nanoseconds, of the bucket holding the value of
        // rank ceil(percent/100 * total): no recorded value at that rank is
        // larger. 0 when empty; infinity when that value overflowed.
        double percentileNs(double percent) const noexcept {
            if (total == 0) return 0.0;
            // 99.9 % of 1000 comes out a hair above 999 in binary; the
            // slack keeps such ranks from rounding up to the next value.
            const double wanted = std::ceil(percent / 100.0 * static_cast<double>(total) - 1e-6);
            const std::uint64_t rank =
                wanted < 1.0 ? 1 : wanted >= static_cast<double>(total) ? total : static_cast<std::uint64_t>(wanted);
            std::uint64_t seen = 0;
            for (std::size_t b = 0; b < kRegularBuckets; ++b) {
                seen += counts[b];
                if (seen >= rank) return static_cast<double>(upperBound(b));
            }
            return std::numeric_limits<double>::infinity();
        }
    };

    void record(std::uint64_t ns) noexcept { counts_[bucketOf(ns)].fetch_add(1, std::memory_order_relaxed); }

    void reset() noexcept {
        for (auto& count : counts_) count.store(0, std::memory_order_relaxed);
    }

    Snapshot snapshot() const noexcept {
        Snapshot s;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            s.counts[b] = counts_[b].load(std::memory_order_relaxed);
            s.total += s.counts[b];
        }
        return s;
    }

private:
    std::array<std::atomic<std::uint64_t>, kBuckets> counts_{};
};

}  // namespace velmora
