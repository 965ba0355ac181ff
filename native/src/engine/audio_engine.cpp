#include "engine/audio_engine.hpp"

#include <utility>

#include "decoding/streaming_source.hpp"
#include "platform/audio_diagnostics.hpp"
#include "realtime/realtime_check.hpp"

namespace velmora {

#if defined(VELMORA_RTSAN)
void (*realtime::renderProbe)() = nullptr;
#endif

namespace {

// Deliberately never destroyed: the engine goes when the last environment
// that loaded the module is torn down (releaseShared), never in a static
// destructor at process exit, where its threads would race the teardown of
// the libraries they use. At process.exit the process simply ends.
std::mutex& sharedMutex = *new std::mutex;
std::shared_ptr<AudioEngine>& sharedEngine = *new std::shared_ptr<AudioEngine>;

// Closing PortAudio takes tens of milliseconds, a device scan under way up to
// a few hundred more.
constexpr std::chrono::milliseconds kRetireWait{2000};

}  // namespace

std::shared_ptr<AudioEngine> AudioEngine::shared() {
    std::lock_guard lock(sharedMutex);
    if (!sharedEngine) sharedEngine = std::make_shared<AudioEngine>();
    return sharedEngine;
}

void AudioEngine::releaseShared() {
    std::shared_ptr<AudioEngine> last;
    {
        std::lock_guard lock(sharedMutex);
        last = std::move(sharedEngine);
    }
    // libjack's client close can hang for good when its server stops at that
    // moment; waiting for it would keep the process from ever exiting. Such an
    // engine is left to its thread, never destroyed.
    if (last && !last->retire(kRetireWait)) new std::shared_ptr<AudioEngine>(std::move(last));
    // Destroyed here unless a background job still holds it.
}

bool AudioEngine::retire(std::chrono::milliseconds wait) {
    shutdown();
    deviceThreadExit_ = true;
    if (!deviceThread_.joinable()) return true;
    std::unique_lock end(deviceThreadEndLock_);
    if (!deviceThreadEnded_.wait_for(end, wait, [this] { return deviceThreadDone_; })) return false;
    end.unlock();
    deviceThread_.join();
    return true;
}

AudioEngine::AudioEngine()
    : outputThreadScratch_(static_cast<std::size_t>(kMaxRenderFrames) * kMaxRenderChannels, 0.0f) {
    platform::quietAudioLibraryDiagnostics();
    decks_.rebuildMixList(requiredChannels_);
}

AudioEngine::~AudioEngine() {
    shutdown();
    deviceThreadExit_ = true;
    if (deviceThread_.joinable()) deviceThread_.join();
    {
        std::lock_guard device(deviceLock_);
        closeStream();
        output_.release();
    }
    reclaim_.collect();
}

EngineConfig AudioEngine::initialize(const EngineConfig& requested) {
    std::lock_guard lifecycle(lifecycleLock_);
    if (running_.load()) {
        stopThreadsLocked();
        deviceRestartCount_.fetch_add(1);
    }
    const EngineConfig clamped = clampConfig(requested);
    output_.resetStats(clamped.bufferSize, clamped.showCriticalMode);
    callbackDropCount_ = 0;
    limiterEngagedCount_ = 0;
    masterLimiterEnabled_ = clamped.masterLimiterEnabled;
    masterLimiterCeiling_ = clamped.masterLimiterCeiling;
    streamWanted_ = true;

    EngineConfig effective;
    {
        // Opened here, unless the device thread is retrying a lost or
        // missing device: then it opens with this configuration, and this
        // returns at once with the error of its last attempt.
        std::unique_lock device(deviceLock_, std::defer_lock);
        if (outage_.load())
            static_cast<void>(device.try_lock());
        else
            device.lock();
        const bool here = device.owns_lock() && canOpenHere();
        {
            std::lock_guard lock(engineLock_);
            config_ = clamped;
            setSampleRate(clamped.sampleRate);
            activeBackend_ = config_.backend;
            activeDeviceId_ = config_.deviceId.empty() ? "default" : config_.deviceId;
            setRequiredChannels(decks_.computeRequiredChannels());
            ++outputGeneration_;
            if (here) lastError_.clear();
        }
        if (here) closeStream();
        {
            // Nothing renders between the close and the open: the records take
            // the render's exact state and go back unchanged, so no playing
            // deck jumps.
            std::lock_guard lock(engineLock_);
            for (auto& [id, deck] : decks_.decks()) {
                decks_.pullDeckRuntime(deck);
                deck.state.backend = config_.backend;
                if (deck.state.output.channelCount < 1) deck.state.output.channelCount = 2;
                decks_.publishDeck(deck, kPublishAll);
            }
        }
        if (here) {
            openStream();
        } else {
            reopenWanted_ = output_.openMirror();
            openNow_ = true;
        }
        std::lock_guard lock(engineLock_);
        decks_.rebuildMixList(requiredChannels_);
        effective = config_;
    }
    startThreadsLocked();
    collectGarbage();
    return effective;
}

void AudioEngine::shutdown() {
    std::lock_guard lifecycle(lifecycleLock_);
    stopThreadsLocked();
    streamWanted_ = false;
    {
        // A stream the device thread is busy with, or one that stopped
        // playing, is closed by that thread.
        std::unique_lock device(deviceLock_, std::try_to_lock);
        if (device.owns_lock() && streamPlaysOn()) closeStream();
        std::lock_guard lock(engineLock_);
        ++outputGeneration_;
        outage_ = false;
        for (auto& [id, deck] : decks_.decks())
            if (deck.source) closeStreamingSource(deck.source.get());
        decks_.clear();
        decks_.rebuildMixList(requiredChannels_);
        frameClock_ = 0;
    }
    collectGarbage();
}

bool AudioEngine::renderBuffer(float* out, std::uint32_t frames, int channels) noexcept {
    [[maybe_unused]] realtime::RealtimeSection section;
    if (renderBusy_.exchange(true, std::memory_order_acquire)) return false;
    {
        RenderPassScope pass(reclaim_);
        RenderContext context;
        context.streamSampleRate = output_.rate();
        context.limiterEnabled = masterLimiterEnabled_.load(std::memory_order_relaxed);
        context.limiterCeiling = masterLimiterCeiling_.load(std::memory_order_relaxed);
        context.callbackDropCount = &callbackDropCount_;
        context.limiterEngagedCount = &limiterEngagedCount_;
        const MixList* list = decks_.loadMixList();
        const std::uint64_t start = frameClock_.load(std::memory_order_relaxed);
        renderMix(context, list, frames, out, channels, start);
        frameClock_.fetch_add(frames, std::memory_order_relaxed);
    }
    renderBusy_.store(false, std::memory_order_release);
    return true;
}

}  // namespace velmora
