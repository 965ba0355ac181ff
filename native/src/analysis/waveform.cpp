#include "analysis/waveform.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analysis/messages.hpp"
#include "analysis/sample_kernels.hpp"
#include "decoding/resampling_reader.hpp"
#include "decoding/sample_rate.hpp"

namespace velmora {
namespace {

constexpr std::size_t kChunkFrames = 49'152;
// Bounds the chunk for files with many channels; results do not depend on it.
constexpr std::size_t kMaxChunkSamples = kChunkFrames * 8;
constexpr std::int32_t kDefaultPoints = 1200;
constexpr std::int32_t kMinPoints = 64;

// First frame of bucket b: frames g with floor(g*N/L) == b start at ceil(b*L/N).
std::uint64_t bucketStart(std::uint64_t b, std::uint64_t buckets, std::uint64_t length) {
    const unsigned __int128 product = static_cast<unsigned __int128>(b) * length;
    return static_cast<std::uint64_t>((product + buckets - 1) / buckets);
}

struct Bucket {
    analysis::SampleStats stats;
    std::uint64_t count = 0;
};

// Reads to the end, counting frames; for files that do not announce a length.
std::uint64_t countFrames(ResamplingReader& reader, std::vector<float>& chunk,
                          std::size_t chunkFrames) {
    std::uint64_t total = 0;
    while (std::size_t got = reader.read(chunk.data(), chunkFrames)) total += got;
    return total;
}

}  // namespace

WaveformResult computeWaveform(std::int32_t engineSampleRate, const TrackDescriptor& track,
                               std::int32_t maxPoints) {
    WaveformResult result;
    const std::int32_t outputRate = std::max(engineSampleRate, kMinSampleRate);
    ResamplingReader reader;
    if (!reader.open(track.path, outputRate)) {
        result.message = messages::kWaveformCannotOpen;
        return result;
    }
    const std::int32_t ch = reader.channels() > 0 ? reader.channels() : 1;
    const std::int32_t rate = reader.outputRate() > 0 ? reader.outputRate() : 1;
    const std::size_t chunkFrames =
        std::min(kChunkFrames, kMaxChunkSamples / static_cast<std::size_t>(ch));
    std::vector<float> chunk(chunkFrames * static_cast<std::size_t>(ch));

    std::uint64_t length = reader.lengthFrames();
    if (length == 0) {
        // Unknown length: count first, so the track still spreads over the buckets.
        length = countFrames(reader, chunk, chunkFrames);
        if (!reader.seek(0) && !reader.open(track.path, outputRate)) {
            result.message = messages::kWaveformCannotOpen;
            return result;
        }
    }
    result.durationSeconds = length > 0 ? static_cast<double>(length) / rate : 0.0;
    result.sampleRate = rate;
    result.channels = ch;

    std::int32_t points = maxPoints > 0 ? maxPoints : kDefaultPoints;
    points = std::clamp(points, kMinPoints, kMaxWaveformPoints);
    const auto buckets = static_cast<std::uint64_t>(points);
    std::vector<Bucket> acc(buckets);

    std::uint64_t frame = 0;
    std::uint64_t b = 0;
    std::uint64_t nextStart = bucketStart(1, buckets, length);
    while (std::size_t got = reader.read(chunk.data(), chunkFrames)) {
        std::size_t i = 0;
        while (i < got) {
            const std::uint64_t g = frame + i;
            while (b + 1 < buckets && g >= nextStart) {
                ++b;
                nextStart = bucketStart(b + 1, buckets, length);
            }
            // Frames past the announced length all land in the last bucket.
            const std::size_t runEnd =
                b + 1 < buckets
                    ? static_cast<std::size_t>(std::min<std::uint64_t>(got, nextStart - frame))
                    : got;
            analysis::accumulateStats(chunk.data() + i * ch, (runEnd - i) * ch, acc[b].stats);
            acc[b].count += (runEnd - i) * ch;
            i = runEnd;
        }
        frame += got;
    }

    result.peaks.resize(buckets);
    double peak = 0.0;
    for (std::uint64_t k = 0; k < buckets; ++k) {
        const Bucket& in = acc[k];
        WaveformPeak& out = result.peaks[k];
        if (in.count == 0) continue;  // empty buckets stay zero and do not scale the rest
        out.min = in.stats.min;
        out.max = in.stats.max;
        out.avg = in.stats.absSum / static_cast<double>(in.count);
        out.amp = std::max({std::fabs(out.min), std::fabs(out.max), out.avg});
        peak = std::max(peak, out.amp);
    }
    if (!(peak > 0.0) || !std::isfinite(peak)) peak = 1.0;
    for (WaveformPeak& p : result.peaks) {
        p.min /= peak;
        p.max /= peak;
        p.avg /= peak;
        p.amp /= peak;
    }
    result.ok = true;
    return result;
}

}  // namespace velmora
