// The engine's own threads: the output thread (silent clock while no stream
// is open, streaming refills while one is) and the device thread (PortAudio's
// initialisation, the watch on the open stream, and every reopen).

#include <chrono>
#include <system_error>

#include "decoding/streaming_source.hpp"
#include "engine/audio_engine.hpp"
#include "engine/logger.hpp"
#include "engine/messages.hpp"
#include "engine/output_policy.hpp"
#include "platform/thread_priority.hpp"

namespace velmora {
namespace {

// Beyond this the silent clock stops catching up (the machine was suspended
// or stalled) and restarts from now.
constexpr auto kMaxCatchUp = std::chrono::milliseconds(250);

}  // namespace

void AudioEngine::startThreads() {
    streamWanted_ = true;
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
    if (!deviceThread_.joinable()) deviceThread_ = std::thread([this] { deviceThreadMain(); });
}

void AudioEngine::stopThreadsLocked() {
    if (outputThread_.joinable()) {
        if (outputThread_.get_id() == std::this_thread::get_id())
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
        running_ = false;
        outputThread_.join();
    }
    // The device thread is not joined: it may be inside PortAudio's start-up.
    // It sees running_ and goes idle.
    running_ = false;
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

void AudioEngine::deviceThreadMain() {
    while (!deviceThreadExit_.load()) {
        if (running_.load())
            serveOutput(Clock::now());
        else
            settleIdle();
        // This thread is also where retired buffers and lists are freed.
        collectGarbage();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // PortAudio is let go here too: a library call that never returns then
    // holds only this thread, which retire() does not wait for past its bound.
    settleIdle(true);
    std::lock_guard end(deviceThreadEndLock_);
    deviceThreadDone_ = true;
    deviceThreadEnded_.notify_all();
}

void AudioEngine::serveOutput(Clock::time_point now) {
    {
        std::lock_guard lock(engineLock_);
        std::chrono::milliseconds silentFor{0};
        if (output_.checkLoss(now, silentFor) != StreamLoss::none) {
            nextAttempt_.reset();
        } else if (output_.isOpen()) {
            nextAttempt_.reset();
            if (!reopenWanted_.load()) return;
        }
    }
    if (output_.openMirror() || reopenWanted_.load()) {
        // A lost stream, or one a script call asked to reopen and could not.
        loseStream();
        return;
    }
    if (!nextAttempt_) nextAttempt_ = now + kFirstRetry;
    if (openNow_.exchange(false)) nextAttempt_ = now;
    if (now < *nextAttempt_) return;
    std::lock_guard device(deviceLock_);
    if (output_.openMirror()) return;
    // Every retry scans the devices afresh: PortAudio lists them only when
    // initialised, and a JACK server that came back is reached only so.
    if (output_.stale()) output_.release();
    if (openStream()) {
        failedAttempts_ = 0;
        nextAttempt_.reset();
    } else {
        nextAttempt_ = Clock::now() + retryDelay(failedAttempts_++);
    }
}

void AudioEngine::loseStream() {
    std::lock_guard device(deviceLock_);
    const bool reopen = reopenWanted_.exchange(false);
    StreamLoss loss = StreamLoss::none;
    std::chrono::milliseconds silentFor{0};
    {
        std::lock_guard lock(engineLock_);
        if (!output_.isOpen() && !output_.openMirror()) return;
        // Checked again under the device lock: a script call may have
        // replaced the stream meanwhile.
        loss = output_.checkLoss(Clock::now(), silentFor);
        if (loss == StreamLoss::none && !reopen) return;
        if (loss != StreamLoss::none) {
            outage_ = true;
            lastError_ = messages::kStreamNoLongerActive;
            routingError_.clear();
        }
    }
    if (loss == StreamLoss::stoppedByDriver) logLine(messages::kLogStreamStopped);
    if (loss == StreamLoss::silent) logLine(messages::kLogStreamSilent, static_cast<long long>(silentFor.count()));
    closeStream(loss != StreamLoss::none);
    if (loss == StreamLoss::none) {
        openStream();
        return;
    }
    // Terminated at once: with a dead JACK server, the initialisation holds
    // a client that can never run again.
    output_.release();
    lastFailureLogged_.clear();
    failedAttempts_ = 0;
    nextAttempt_ = Clock::now() + kFirstRetry;
}

void AudioEngine::settleIdle(bool wait) {
    // After shutdown: close what the shutdown left and let go of PortAudio.
    if (streamWanted_.load()) return;
    std::unique_lock device(deviceLock_, std::defer_lock);
    if (wait) device.lock();
    else if (!device.try_lock()) return;
    if (output_.openMirror()) closeStream(!streamPlaysOn());
    output_.release();
    nextAttempt_.reset();
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
