#include "decoding/streaming_source.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <thread>

#include "decoding/messages.hpp"
#include "decoding/sample_bounds.hpp"
#include "decoding/sample_rate.hpp"

namespace velmora {
namespace {

// Reads up to `frames` frames into the ring at writeIndex, in at most two
// contiguous pieces (the ring holds whole frames). Returns frames read.
std::uint64_t readIntoRing(StreamingSource& s, std::uint64_t frames, bool& failed) {
    assert(s.producingHere() && "the ring filled outside its producer");
    const std::uint64_t ch = static_cast<std::uint64_t>(std::max(s.channels, 1));
    const std::uint64_t size = s.ringSamples();
    std::uint64_t write = s.writeIndex.load(std::memory_order_relaxed);
    std::uint64_t done = 0;
    failed = false;
    while (done < frames) {
        const std::uint64_t offset = write % size;
        const std::uint64_t contiguous = std::min(frames - done, (size - offset) / ch);
        const std::size_t got = s.decoder->read(s.ring.data() + offset, static_cast<std::size_t>(contiguous));
        if (s.decoder->readError()) {
            failed = true;
            return done;
        }
        done += got;
        write += got * ch;
        if (got < contiguous) break;
    }
    return done;
}

// Frames beyond any real track; their sample index still fits 64 bits.
constexpr std::uint64_t kMaxFrame = 1ULL << 50;

// Frame index of a position; positions beyond any real track are capped so
// the conversion never overflows.
std::uint64_t frameAt(std::int32_t sampleRate, double seconds) {
    constexpr double kMaxSeconds = 1e9;
    const double clamped = std::clamp(finiteOrZero(seconds), 0.0, kMaxSeconds);
    return static_cast<std::uint64_t>(std::max(sampleRate, 1) * clamped);
}

}  // namespace

void StreamingSource::beginExclusive() noexcept {
    assert(producer_.heldHere() && "the ring rewritten outside its producer");
    seeking_.store(true, std::memory_order_seq_cst);
    while (rendering_.load(std::memory_order_seq_cst)) std::this_thread::yield();
}

StreamingSourcePtr openStreamingSource(const TrackDescriptor& track, std::int32_t engineSampleRate,
                                       std::string& message) {
    message.clear();
    if (track.path.empty()) {
        message = messages::kEmptyTrackPath;
        return nullptr;
    }
    const std::int32_t rate = std::max(engineSampleRate, kMinSampleRate);
    auto decoder = std::make_unique<ResamplingReader>();
    if (!decoder->open(track.path, rate)) {
        message = messages::kStreamingInitFailed;
        return nullptr;
    }
    auto source = std::make_shared<StreamingSource>();
    const std::uint64_t length = decoder->lengthFrames();
    const std::int32_t ringRate = decoder->outputRate() > 0 ? decoder->outputRate() : rate;
    source->sampleRate = ringRate;
    source->channels = decoder->channels() > 0 ? decoder->channels() : 2;
    source->durationSeconds = length > 0 ? static_cast<double>(length) / std::max(ringRate, 1)
                                         : std::max(0.0, finiteOrZero(track.duration));
    source->ring.assign(StreamingSource::kRingFrames * static_cast<std::uint64_t>(std::max(source->channels, 1)),
                        0.0f);
    const double cueIn = finiteOrZero(track.cueIn);
    const double start = std::max(0.0, source->durationSeconds <= cueIn ? source->durationSeconds : cueIn);
    if (start > 0.0) {
        const std::uint64_t frame = frameAt(ringRate, start);
        // A source that cannot reach its cue-in would play from elsewhere
        // than the deck reports: the whole-track decode takes it instead.
        if (!decoder->seek(frame)) {
            message = messages::kStreamingInitFailed;
            return nullptr;
        }
        source->playFrame.store(frame);
    }
    source->decoder = std::move(decoder);
    return source;
}

bool refillStreamingSource(StreamingSource* source, std::uint64_t minimumFrames, std::string& message) {
    message.clear();
    if (source == nullptr) return false;
    const StreamingSource::ProducerLock producing(*source);
    if (!source->decoder) return false;
    const std::uint64_t ch = static_cast<std::uint64_t>(std::max(source->channels, 1));
    const std::uint64_t size = source->ringSamples();
    if (size < ch) {
        message = messages::kRingNotInitialized;
        return false;
    }
    if (source->endOfStream.load(std::memory_order_relaxed)) return true;

    const std::uint64_t buffered =
        source->writeIndex.load(std::memory_order_relaxed) - source->readIndex.load(std::memory_order_acquire);
    const std::uint64_t bufferedFrames = buffered / ch;
    const std::uint64_t target = std::max(
        minimumFrames, bufferedFrames > 0 ? StreamingSource::kRefillTargetFrames : StreamingSource::kRefillTargetEmptyFrames);
    if (bufferedFrames >= target) return true;
    // One frame always stays free, so a write never reaches unread samples.
    const std::uint64_t free = size > ch + buffered ? size - ch - buffered : 0;
    if (free < ch) return true;
    const std::uint64_t frames =
        std::min(free / ch, std::max(target - bufferedFrames, StreamingSource::kMinBurstFrames));

    bool failed = false;
    const std::uint64_t got = readIntoRing(*source, frames, failed);
    if (failed) {
        message = messages::kStreamingReadFailed;
        return false;
    }
    if (got == 0) {
        source->endOfStream.store(true, std::memory_order_release);
        return true;
    }
    source->writeIndex.fetch_add(got * ch, std::memory_order_release);
    return true;
}

double seekStreamingSource(StreamingSource* source, double seconds,
                           std::int32_t requestedBufferSize) {
    if (source == nullptr) return seconds;
    const StreamingSource::ProducerLock producing(*source);
    if (!source->decoder) return seconds;
    const std::int32_t sampleRate = source->sampleRate.load(std::memory_order_relaxed);
    const std::uint64_t frame = frameAt(sampleRate, seconds);
    const std::uint64_t ch = static_cast<std::uint64_t>(std::max(source->channels, 1));
    const double rate = static_cast<double>(std::max(sampleRate, 1));

    // The decoder moves first: one that cannot leaves the ring, the indices
    // and the position as they are, and the deck goes on where it plays.
    if (!source->decoder->seek(frame)) return static_cast<double>(source->playFrame.load()) / rate;

    source->beginExclusive();
    source->readIndex.store(frame * ch, std::memory_order_relaxed);
    source->writeIndex.store(frame * ch, std::memory_order_relaxed);
    source->playFrame.store(frame, std::memory_order_relaxed);
    source->endOfStream.store(false, std::memory_order_relaxed);
    if (source->ringSamples() >= ch) {
        const std::uint64_t frames = std::min<std::uint64_t>(
            std::max<std::uint64_t>(std::max(requestedBufferSize, 0), StreamingSource::kMinBurstFrames),
            (source->ringSamples() - ch) / ch);
        bool failed = false;
        const std::uint64_t got = readIntoRing(*source, frames, failed);
        if (!failed && got > 0) source->writeIndex.fetch_add(got * ch, std::memory_order_relaxed);
    }
    source->endExclusive();
    return seconds;
}

void followOutputRate(StreamingSource* source, std::int32_t engineSampleRate, std::int32_t requestedBufferSize) {
    const std::int32_t rate = std::max(engineSampleRate, kMinSampleRate);
    if (source == nullptr || source->sampleRate.load(std::memory_order_relaxed) == rate) return;
    const StreamingSource::ProducerLock producing(*source);
    const std::int32_t oldRate = std::max(source->sampleRate.load(std::memory_order_relaxed), 1);
    if (!source->decoder || oldRate == rate) return;
    const std::uint64_t ch = static_cast<std::uint64_t>(std::max(source->channels, 1));

    source->beginExclusive();
    // The same instant at the new rate, to the nearest frame.
    const auto scaled = static_cast<unsigned __int128>(source->playFrame.load(std::memory_order_relaxed)) *
                            static_cast<unsigned>(rate) +
                        static_cast<unsigned>(oldRate) / 2;
    const auto frame = static_cast<std::uint64_t>(
        std::min<unsigned __int128>(scaled / static_cast<unsigned>(oldRate), kMaxFrame));
    source->decoder->setOutputRate(rate, frame);
    source->sampleRate.store(rate, std::memory_order_relaxed);
    source->readIndex.store(frame * ch, std::memory_order_relaxed);
    source->writeIndex.store(frame * ch, std::memory_order_relaxed);
    source->playFrame.store(frame, std::memory_order_relaxed);
    source->endOfStream.store(false, std::memory_order_relaxed);
    if (source->ringSamples() >= ch) {
        const std::uint64_t frames = std::min<std::uint64_t>(
            std::max<std::uint64_t>(std::max(requestedBufferSize, 0), StreamingSource::kMinBurstFrames),
            (source->ringSamples() - ch) / ch);
        bool failed = false;
        const std::uint64_t got = readIntoRing(*source, frames, failed);
        if (!failed && got > 0) source->writeIndex.fetch_add(got * ch, std::memory_order_relaxed);
    }
    source->endExclusive();
}

void closeStreamingSource(StreamingSource* source) {
    if (source == nullptr) return;
    const StreamingSource::ProducerLock producing(*source);
    source->decoder.reset();
    source->endOfStream.store(true, std::memory_order_release);
}

}  // namespace velmora
