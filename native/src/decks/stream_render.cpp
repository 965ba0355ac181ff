#include <algorithm>
#include <limits>

#include "decks/deck_render.hpp"
#include "decoding/sample_rate.hpp"

namespace velmora {
namespace {

// Whole frames in `seconds` at `rate`. Times past any frame count (an
// infinite cue-out, an absurd declared duration) saturate: a float to integer
// conversion out of range is undefined.
std::uint64_t framesIn(double rate, double seconds) noexcept {
    const double frames = rate * seconds;
    if (!(frames > 0.0)) return 0;
    if (frames >= 0x1p64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(frames);
}

}  // namespace

void renderFromStream(const RenderContext& ctx, DeckRuntime& rt, const DeckPublication& p,
                      StreamingSource& source, std::uint32_t frameCount, float* out, int outChannels,
                      std::uint64_t frameClockAtStart) noexcept {
    const std::uint64_t ch = static_cast<std::uint64_t>(std::max(source.channels, 1));
    const std::uint64_t size = source.ringSamples();
    auto countDrop = [&] {
        if (ctx.callbackDropCount != nullptr) ctx.callbackDropCount->fetch_add(1, std::memory_order_relaxed);
    };
    if (size < ch) {
        countDrop();
        publishZeroMeters(rt);
        return;
    }
    // A seek is rewriting the ring: skip this buffer rather than mix old and new.
    if (!source.tryBeginRender()) {
        publishZeroMeters(rt);
        return;
    }
    // A ring at another rate than the output would play at the wrong speed;
    // the output thread is about to move it to this rate.
    const std::int32_t ringRate = source.sampleRate.load(std::memory_order_relaxed);
    if (ringRate != std::max(ctx.streamSampleRate, kMinSampleRate)) {
        source.endRender();
        publishZeroMeters(rt);
        return;
    }
    const std::uint64_t sr = static_cast<std::uint64_t>(std::max(ringRate, 1));
    std::uint64_t endFrame = std::numeric_limits<std::uint64_t>::max();
    if (source.durationSeconds > 0.0) endFrame = framesIn(static_cast<double>(sr), source.durationSeconds);
    if (p.cueOutSeconds > 0.0) endFrame = std::min(endFrame, framesIn(static_cast<double>(sr), p.cueOutSeconds));

    std::uint64_t read = source.readIndex.load(std::memory_order_relaxed);
    std::uint64_t playFrame = source.playFrame.load(std::memory_order_relaxed);
    std::uint64_t written = source.writeIndex.load(std::memory_order_acquire);
    const float* ring = source.ring.data();

    FadeState fade = loadFade(rt, p);
    std::uint32_t declickRemaining = rt.declick.remaining.load(std::memory_order_relaxed);
    const std::uint32_t declickTotal = p.declickTotal;
    const double trackGain = p.trackGain;
    MeterAccumulator meters;
    bool ended = false;

    for (std::uint32_t i = 0; i < frameCount; ++i) {
        if (playFrame >= endFrame) {
            ended = true;
            break;
        }
        if (written - read < ch) {
            written = source.writeIndex.load(std::memory_order_acquire);
            if (written - read < ch) {
                // The decoder reached the real end before the declared one.
                if (source.endOfStream.load(std::memory_order_acquire) &&
                    source.writeIndex.load(std::memory_order_acquire) - read < ch) {
                    ended = true;
                } else {
                    countDrop();
                }
                break;
            }
        }
        bool fadeEnded = false;
        const double volume = advanceFade(fade, frameClockAtStart + i, fadeEnded);
        double gain = trackGain * volume;
        if (declickRemaining != 0 && declickTotal != 0) gain *= declickStep(declickRemaining, declickTotal);
        const std::uint64_t at = read % size;
        const float left = ring[at];
        const float right = ch > 1 ? ring[(at + 1) % size] : left;
        const double tf = trackFactor(fade, volume, fadeEnded);
        meters.add(left * gain, right * gain, left * trackGain * tf, right * trackGain * tf);
        addToOutput(p, i, out, outChannels, left, right, static_cast<float>(gain));
        read += ch;
        ++playFrame;
    }
    source.readIndex.store(read, std::memory_order_release);
    source.playFrame.store(playFrame, std::memory_order_release);
    source.endRender();

    storeGainState(rt, fade, declickRemaining);
    if (ended) {
        endOfTrack(rt, p, static_cast<double>(playFrame));
        return;
    }
    rt.position.frames.store(static_cast<double>(playFrame), std::memory_order_relaxed);
    rt.position.seconds.store(
        std::max(0.0, std::min(p.durationSeconds, static_cast<double>(playFrame) / static_cast<double>(sr))),
        std::memory_order_relaxed);
    publishDeckMeters(rt, meters);
}

}  // namespace velmora
