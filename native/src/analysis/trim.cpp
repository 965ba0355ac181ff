#include "analysis/trim.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "analysis/sample_kernels.hpp"
#include "decoding/decode_chain.hpp"

namespace velmora {
namespace {

constexpr double kMinWindowMs = 5.0;
constexpr double kSilenceLevel = 1e-6;
constexpr double kLoudRatio = 0.045;
constexpr double kLoudFloor = 0.0015;
constexpr double kQuietRatio = 0.003;
constexpr double kQuietFloor = 0.00002;
constexpr double kMinLoudMs = 60.0;     // shorter bursts (clicks) are not the track
constexpr double kExtendMs = 3000.0;    // how far a fade may reach past the loud part
constexpr std::uint64_t kQuietRun = 8;  // windows of quiet that end a fade
constexpr double kMinSpanSeconds = 0.1;

// Rounds half away from zero and converts to a window count no larger than
// `cap`; NaN and negatives give 0.
std::uint64_t roundedCount(double value, std::uint64_t cap) {
    if (!(value > 0.0)) return 0;
    const double r = std::round(value);
    return r >= static_cast<double>(cap) ? cap : static_cast<std::uint64_t>(r);
}

TrimResult wholeTrack(TrimResult result) {
    result.ok = true;
    result.cueInSeconds = 0.0;
    result.cueOutSeconds = result.durationSeconds;
    return result;
}

}  // namespace

TrimResult detectTrim(const PcmBufferPtr& buffer, double windowMs, double preRollSec,
                      double postRollSec) {
    TrimResult result;
    if (!buffer || buffer->channels < 1 || buffer->sampleRate < 1 || buffer->samples.empty()) {
        result.message = "Empty PCM buffer.";
        return result;
    }
    const auto ch = static_cast<std::uint64_t>(buffer->channels);
    const double rate = static_cast<double>(buffer->sampleRate);
    const std::uint64_t frames = buffer->samples.size() / ch;
    if (frames == 0) {
        result.message = "Empty PCM buffer.";
        return result;
    }
    result.durationSeconds = static_cast<double>(frames) / rate;

    // NaN fails the comparison and becomes the minimum; +inf stays huge but
    // the window is clamped to the track below.
    const double W = windowMs >= kMinWindowMs ? windowMs : kMinWindowMs;
    const double windowFrames = std::floor(W / 1000.0 * rate);
    // A window longer than the track gives the same levels as the whole track.
    const std::uint64_t w =
        windowFrames >= static_cast<double>(frames)
            ? frames
            : std::max<std::uint64_t>(1, static_cast<std::uint64_t>(windowFrames));
    const std::uint64_t K = (frames + w - 1) / w;

    std::vector<double> level(K);
    double M = 0.0;
    const float* samples = buffer->samples.data();
    for (std::uint64_t k = 0; k < K; ++k) {
        const std::uint64_t begin = k * w * ch;
        const std::uint64_t end = std::min((k + 1) * w, frames) * ch;
        const double sum = analysis::sumOfSquares(samples + begin, end - begin);
        level[k] = std::sqrt(sum / static_cast<double>(end - begin));
        M = std::max(M, level[k]);
    }
    if (M <= kSilenceLevel) return wholeTrack(result);

    const double loud = std::max(M * kLoudRatio, kLoudFloor);
    const double quiet = std::max(M * kQuietRatio, kQuietFloor);
    const std::uint64_t R =
        std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(kMinLoudMs / W)));

    // First and last runs of R loud windows.
    std::uint64_t S = 0;
    bool found = false;
    for (std::uint64_t k = 0, run = 0; k < K; ++k) {
        run = level[k] >= loud ? run + 1 : 0;
        if (run == R) {
            S = k - (R - 1);
            found = true;
            break;
        }
    }
    if (!found) return wholeTrack(result);
    std::uint64_t E = 0;
    found = false;
    for (std::uint64_t k = K, run = 0; k-- > 0;) {
        run = level[k] >= loud ? run + 1 : 0;
        if (run == R) {
            E = std::min(K - 1, k + R - 1);
            found = true;
            break;
        }
    }
    if (!found || E <= S) return wholeTrack(result);

    // Widen over fades: walk outwards while the level stays above quiet,
    // stopping at a run of quiet windows.
    const std::uint64_t A = roundedCount(kExtendMs / W, K);
    std::uint64_t start = S;
    const std::uint64_t lowest = S > A ? S - A : 0;
    for (std::uint64_t j = S + 1, quietRun = 0; j-- > lowest;) {
        if (level[j] < quiet) {
            if (++quietRun == kQuietRun) {
                start = std::min(S, j + quietRun);
                break;
            }
        } else {
            start = j;
            quietRun = 0;
        }
    }
    std::uint64_t end = E;
    const std::uint64_t highest = std::min(E + A, K - 1);
    for (std::uint64_t j = E, quietRun = 0; j <= highest; ++j) {
        if (level[j] >= quiet) {
            end = j;
            quietRun = 0;
        } else if (++quietRun == kQuietRun) {
            end = j > quietRun ? j - quietRun : E;
            break;
        }
    }

    const std::uint64_t P = roundedCount(std::max(preRollSec, 0.0) * 1000.0 / W, K);
    const std::uint64_t Q = roundedCount(std::max(postRollSec, 0.0) * 1000.0 / W, K);
    const std::uint64_t startWindow = start > P ? start - P : 0;
    const std::uint64_t endWindow = std::min(end + Q, K - 1);

    const double cueIn = static_cast<double>(startWindow * w) / rate;
    const double cueOut = static_cast<double>(std::min((endWindow + 1) * w, frames)) / rate;
    if (!(cueIn + kMinSpanSeconds < cueOut)) return wholeTrack(result);
    result.ok = true;
    result.cueInSeconds = cueIn;
    result.cueOutSeconds = std::min(cueOut, result.durationSeconds);
    return result;
}

TrimResult analyzeTrackTrim(TrackCache& cache, const TrackDescriptor& track, double windowMs,
                            double preRollSec, double postRollSec) {
    std::string message;
    const PcmBufferPtr buffer = decodeTrack(cache, track, /*forPlayback*/ false, message);
    if (!buffer) {
        TrimResult result;
        result.message = message.empty() ? "Track decoding failed." : message;
        return result;
    }
    return detectTrim(buffer, windowMs, preRollSec, postRollSec);
}

}  // namespace velmora
