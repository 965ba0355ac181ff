#include "analysis/trim.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "analysis/messages.hpp"
#include "analysis/sample_kernels.hpp"
#include "decoding/block_energy.hpp"
#include "decoding/decode_chain.hpp"
#include "decoding/messages.hpp"

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

// The RMS level of each window. From the samples every level is exact; from a
// decoded track's block energy most are only bracketed, tightly enough that
// nearly every comparison is settled without reading the window. The rest are
// computed from the samples the same way, so the outcome does not depend on
// which the buffer has.
class WindowLevels {
  public:
    WindowLevels(const PcmBuffer& buffer, std::uint64_t frames, std::uint64_t windowFrames)
        : samples_(buffer.samples.data()),
          channels_(static_cast<std::uint64_t>(buffer.channels)),
          frames_(frames),
          window_(windowFrames),
          count_((frames + windowFrames - 1) / windowFrames),
          low_(count_),
          high_(count_) {
        // The bounds below hold while the block error is small; blocks of
        // thousands of channels are read sample by sample instead.
        const BlockEnergy& energy = buffer.energy;
        if (energy.covers(frames) &&
            BlockEnergy::relativeError(energy.blockFrames * channels_) <= 0x1p-6)
            bracket(energy);
        else
            for (std::uint64_t k = 0; k < count_; ++k) low_[k] = high_[k] = exact(k);
    }

    std::uint64_t count() const { return count_; }

    double max() const {
        double highestLow = 0.0;
        for (std::uint64_t k = 0; k < count_; ++k) highestLow = std::max(highestLow, low_[k]);
        double loudest = 0.0;
        for (std::uint64_t k = 0; k < count_; ++k) {
            if (low_[k] == high_[k])
                loudest = std::max(loudest, low_[k]);
            else if (high_[k] >= highestLow)
                loudest = std::max(loudest, exact(k));
        }
        return loudest;
    }

    bool atLeast(std::uint64_t k, double threshold) const {
        if (low_[k] >= threshold) return true;
        if (high_[k] < threshold) return false;
        return exact(k) >= threshold;
    }

  private:
    double exact(std::uint64_t k) const {
        const std::uint64_t begin = k * window_ * channels_;
        const std::uint64_t end = std::min((k + 1) * window_, frames_) * channels_;
        const double sum = analysis::sumOfSquares(samples_ + begin, end - begin);
        return std::sqrt(sum / static_cast<double>(end - begin));
    }

    double samplesEnergy(std::uint64_t beginFrame, std::uint64_t endFrame) const {
        return analysis::sumOfSquares(samples_ + beginFrame * channels_,
                                      (endFrame - beginFrame) * channels_);
    }

    // Whole blocks from the energy, the partial ones at either end from the
    // samples; a window within two blocks is computed exactly.
    void bracket(const BlockEnergy& energy) {
        const std::uint64_t block = energy.blockFrames;
        const double blockError = BlockEnergy::relativeError(block * channels_);
        const float* sums = energy.sums.data();
        for (std::uint64_t k = 0; k < count_; ++k) {
            const std::uint64_t begin = k * window_;
            const std::uint64_t end = std::min(begin + window_, frames_);
            const std::uint64_t firstBlock = (begin + block - 1) / block;
            const std::uint64_t endBlock = end / block;
            if (firstBlock >= endBlock) {
                low_[k] = high_[k] = exact(k);
                continue;
            }
            const std::uint64_t headEnd = firstBlock * block, tailBegin = endBlock * block;
            double sum = 0.0;
            if (begin < headEnd) sum += samplesEnergy(begin, headEnd);
            for (std::uint64_t j = firstBlock; j < endBlock; ++j) sum += sums[j];
            if (tailBegin < end) sum += samplesEnergy(tailBegin, end);
            if (!std::isfinite(sum)) {
                low_[k] = 0.0;
                high_[k] = std::numeric_limits<double>::infinity();
                continue;
            }
            const std::uint64_t n = (end - begin) * channels_;
            const double size = static_cast<double>(n);
            // Relative to the exact sum of squares, the block sums err by at
            // most blockError and every double sum here and in exact() by
            // gamma; margin doubled for the rounding of these bounds.
            const double gamma = static_cast<double>(n + 8) * 0x1p-53;
            const double margin = 2.0 * (blockError + 2.0 * gamma);
            const double underflow = size * BlockEnergy::kUnderflowPerSample;
            const double lowSum = std::max(0.0, (sum - underflow) * (1.0 - margin));
            const double highSum = (sum + underflow) * (1.0 + margin);
            // Division and square root round monotonically, as in exact().
            low_[k] = std::sqrt(lowSum / size);
            high_[k] = std::sqrt(highSum / size);
        }
    }

    const float* samples_;
    std::uint64_t channels_, frames_, window_, count_;
    std::vector<double> low_, high_;
};

}  // namespace

TrimResult detectTrim(const PcmBufferPtr& buffer, double windowMs, double preRollSec,
                      double postRollSec) {
    TrimResult result;
    if (!buffer || buffer->channels < 1 || buffer->sampleRate < 1 || buffer->samples.empty()) {
        result.message = messages::kEmptyPcmBuffer;
        return result;
    }
    const auto ch = static_cast<std::uint64_t>(buffer->channels);
    const double rate = static_cast<double>(buffer->sampleRate);
    const std::uint64_t frames = buffer->samples.size() / ch;
    if (frames == 0) {
        result.message = messages::kEmptyPcmBuffer;
        return result;
    }
    result.durationSeconds = static_cast<double>(frames) / rate;

    // NaN fails the comparison and becomes the minimum; +inf stays huge but
    // the window is clamped to the track below.
    const double windowLengthMs = windowMs >= kMinWindowMs ? windowMs : kMinWindowMs;
    const double wholeFramesInWindow = std::floor(windowLengthMs / 1000.0 * rate);
    // A window longer than the track gives the same levels as the whole track.
    const std::uint64_t windowFrames =
        wholeFramesInWindow >= static_cast<double>(frames)
            ? frames
            : std::max<std::uint64_t>(1, static_cast<std::uint64_t>(wholeFramesInWindow));
    const WindowLevels level(*buffer, frames, windowFrames);
    const std::uint64_t windowCount = level.count();
    const double loudest = level.max();
    if (loudest <= kSilenceLevel) return wholeTrack(result);

    const double loud = std::max(loudest * kLoudRatio, kLoudFloor);
    const double quiet = std::max(loudest * kQuietRatio, kQuietFloor);
    const std::uint64_t runLength =
        std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(kMinLoudMs / windowLengthMs)));

    // First and last runs of runLength loud windows.
    std::uint64_t firstLoud = 0;
    bool found = false;
    for (std::uint64_t k = 0, run = 0; k < windowCount; ++k) {
        run = level.atLeast(k, loud) ? run + 1 : 0;
        if (run == runLength) {
            firstLoud = k - (runLength - 1);
            found = true;
            break;
        }
    }
    if (!found) return wholeTrack(result);
    std::uint64_t lastLoud = 0;
    found = false;
    for (std::uint64_t k = windowCount, run = 0; k-- > 0;) {
        run = level.atLeast(k, loud) ? run + 1 : 0;
        if (run == runLength) {
            lastLoud = std::min(windowCount - 1, k + runLength - 1);
            found = true;
            break;
        }
    }
    if (!found || lastLoud <= firstLoud) return wholeTrack(result);

    // Widen over fades: walk outwards while the level stays above quiet,
    // stopping at a run of quiet windows.
    const std::uint64_t lookAround = roundedCount(kExtendMs / windowLengthMs, windowCount);
    std::uint64_t start = firstLoud;
    const std::uint64_t lowest = firstLoud > lookAround ? firstLoud - lookAround : 0;
    for (std::uint64_t j = firstLoud + 1, quietRun = 0; j-- > lowest;) {
        if (!level.atLeast(j, quiet)) {
            if (++quietRun == kQuietRun) {
                start = std::min(firstLoud, j + quietRun);
                break;
            }
        } else {
            start = j;
            quietRun = 0;
        }
    }
    std::uint64_t end = lastLoud;
    const std::uint64_t highest = std::min(lastLoud + lookAround, windowCount - 1);
    for (std::uint64_t j = lastLoud, quietRun = 0; j <= highest; ++j) {
        if (level.atLeast(j, quiet)) {
            end = j;
            quietRun = 0;
        } else if (++quietRun == kQuietRun) {
            end = j > quietRun ? j - quietRun : lastLoud;
            break;
        }
    }

    const std::uint64_t preRollWindows =
        roundedCount(std::max(preRollSec, 0.0) * 1000.0 / windowLengthMs, windowCount);
    const std::uint64_t postRollWindows =
        roundedCount(std::max(postRollSec, 0.0) * 1000.0 / windowLengthMs, windowCount);
    const std::uint64_t startWindow = start > preRollWindows ? start - preRollWindows : 0;
    const std::uint64_t endWindow = std::min(end + postRollWindows, windowCount - 1);

    const double cueIn = static_cast<double>(startWindow * windowFrames) / rate;
    const double cueOut = static_cast<double>(std::min((endWindow + 1) * windowFrames, frames)) / rate;
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
        result.message = message.empty() ? messages::kTrackDecodingFailed : message;
        return result;
    }
    return detectTrim(buffer, windowMs, preRollSec, postRollSec);
}

}  // namespace velmora
