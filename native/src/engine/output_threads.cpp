// The engine's own threads: the output thread (silent clock while no stream
// is open, streaming refills while one is) and the reopen thread.

#include <chrono>
#include <system_error>

#include "decoding/streaming_source.hpp"
#include "engine/audio_engine.hpp"
#include "platform/thread_priority.hpp"

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

// Beyond this the silent clock stops catching up (the machine was suspended
// or stalled) and restarts from now.
constexpr auto kMaxCatchUp = std::chrono::milliseconds(250);

}  // namespace

void AudioEngine::startThreads() {
    if (running_.load()) return;
    // A play that meets an initialize or a shutdown under way leaves the
    // threads to it, as if it had come just before.
    std::unique_lock lifecycle(lifecycleLock_, std::try_to_lock);
    if (lifecycle.owns_lock()) startThreadsLocked();
}

void AudioEngine::stopThreads() {
    std::lock_guard lifecycle(lifecycleLock_);
    stopThreadsLocked();
}

void AudioEngine::startThreadsLocked() {
    if (running_.load()) return;
    running_ = true;
    outputThread_ = std::thread([this] { outputThreadMain(); });
    if (!reopenThreadRunning_.exchange(true)) reopenThread_ = std::thread([this] { reopenThreadMain(); });
}

void AudioEngine::stopThreadsLocked() {
    if (outputThread_.joinable()) {
        if (outputThread_.get_id() == std::this_thread::get_id())
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
        running_ = false;
        outputThread_.join();
    }
    running_ = false;
    reopenThreadRunning_ = false;
    reopenRequested_ = false;
    if (reopenThread_.joinable()) reopenThread_.join();
}

void AudioEngine::outputThreadMain() {
    const platform::PriorityToken priority = platform::raiseThreadPriority();
    Clock::time_point next = Clock::now();
    while (running_.load()) {
        // Without a device nobody hears the buffer size: larger buffers keep
        // time in render-sized ones, so that stopping never waits long.
        const std::int32_t frames =
            std::min(output_.stats().requestedBufferSize.load(), static_cast<std::int32_t>(kMaxRenderFrames));
        const std::int32_t channels = std::max(requiredChannelsMirror_.load(), 2);
        const bool open = output_.openMirror();
        if (!open && !reopenInProgress_.load()) {
            bool idle = false;
            reopenRequested_.compare_exchange_strong(idle, true);
        }
        if (frames < 1 || channels > kMaxRenderChannels) {
            output_.stats().xrunCount.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            next = Clock::now();
            continue;
        }
        if (open && output_.usingCallbackStream()) {
            refillAllStreamingSources();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            next = Clock::now();
            continue;
        }
        // No stream: keep time by rendering silently at the buffer period.
        // Streaming decks are refilled here too, or they would run dry a few
        // buffers in and stand still until a device returns.
        refillAllStreamingSources();
        renderBuffer(outputThreadScratch_.data(), static_cast<std::uint32_t>(frames), channels);
        const auto periodUs = std::max<std::int64_t>(
            250, static_cast<std::int64_t>(frames) * 1'000'000 / std::max(output_.rate(), kMinSampleRate));
        next += std::chrono::microseconds(periodUs);
        const Clock::time_point now = Clock::now();
        if (next + kMaxCatchUp < now) next = now;
        // Late passes render the buffers they owe back to back.
        if (next > now) std::this_thread::sleep_until(next);
    }
    platform::restoreThreadPriority(priority);
}

void AudioEngine::reopenThreadMain() {
    while (reopenThreadRunning_.load()) {
        if (reopenRequested_.exchange(false)) {
            reopenInProgress_ = true;
            for (int waited = 0; waited < 50 && reopenThreadRunning_.load(); waited += 5)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (reopenThreadRunning_.load()) {
                // Without the engine lock: PortAudio's start-up and probing
                // take up to hundreds of milliseconds.
                std::lock_guard device(deviceLock_);
                if (!output_.openMirror()) openStream();
            }
            reopenInProgress_ = false;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // This thread is also where retired buffers and lists are freed.
        collectGarbage();
    }
}

void AudioEngine::refillAllStreamingSources() {
    // Never wait on the engine lock here: this thread runs at raised priority.
    std::vector<StreamingSourcePtr> sources;
    {
        std::unique_lock lock(engineLock_, std::try_to_lock);
        if (!lock.owns_lock()) return;
        for (auto& [id, deck] : decks_.decks())
            if (deck.state.loaded && deck.source) sources.push_back(deck.source);
    }
    std::string ignored;
    for (const StreamingSourcePtr& source : sources) {
        followOutputRate(source.get(), output_.rate(), output_.stats().requestedBufferSize.load());
        refillStreamingSource(source.get(), StreamingSource::kRefillTargetFrames, ignored);
    }
}

}  // namespace velmora
