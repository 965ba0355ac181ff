// Opening and closing the output stream on the engine's side: what to open
// is taken under the engine lock, the output stream does PortAudio's slow
// work with the device lock held and the engine lock free, and what it found
// is applied under the engine lock in one short step.

#include <utility>

#include "engine/audio_engine.hpp"
#include "engine/logger.hpp"
#include "engine/messages.hpp"

namespace velmora {

bool AudioEngine::openStream() {
    OutputStream::Plan plan;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(engineLock_);
        setRequiredChannels(decks_.computeRequiredChannels());
        plan = OutputStream::Plan{config_, requiredChannels_};
        generation = outputGeneration_;
    }
    OutputStream::Attempt r = output_.open(plan);
    writeAttemptLog(r);
    {
        std::lock_guard lock(engineLock_);
        if (generation == outputGeneration_) {
            outage_ = !r.ok;
            activeBackend_ = plan.config.backend;
            activeDeviceId_ = plan.config.deviceId.empty() ? "default" : plan.config.deviceId;
            activeHostApiName_ = r.hostApiName;
            activeDeviceName_ = r.deviceName;
            if (r.bufferSize && isAsioBackend(config_.backend)) config_.bufferSize = *r.bufferSize;
            output_.stats().requestedBufferSize =
                r.bufferSize ? *r.bufferSize : std::max(config_.bufferSize, minBufferSize(config_.backend));
            setSampleRate(r.sampleRate.value_or(config_.sampleRate));
            if (r.ok) {
                output_.install(r, plan.config.deviceId, Clock::now());
                lastError_ = r.routingProblem;
                routingError_ = r.routingProblem;
                for (auto& [id, deck] : decks_.decks()) noteDeckRouting(deck);
            } else {
                output_.markFailed();
                lastError_ = r.error;
                routingError_.clear();
            }
            return r.ok;
        }
        // The attempt set the stream's rate ahead of the record; put it back.
        setSampleRate(config_.sampleRate);
    }
    // The routing or the device changed while this attempt ran without the
    // lock: its stream is not the one wanted. Close it; the device thread
    // opens the one wanted.
    output_.discard(r);
    return false;
}

void AudioEngine::writeAttemptLog(const OutputStream::Attempt& attempt) {
    // A device that stays missing would otherwise log every retry.
    if (!attempt.ok && attempt.error == lastFailureLogged_) return;
    for (const std::string& line : attempt.log) logLine(messages::kLogMessageAsIs, line.c_str());
    lastFailureLogged_ = attempt.ok ? std::string() : attempt.error;
}

void AudioEngine::closeStream(bool lost) {
    OutputStream::Detached detached;
    {
        std::lock_guard lock(engineLock_);
        detached = output_.detach(lost);
        activeHostApiName_.clear();
        activeDeviceName_.clear();
    }
    output_.finishClose(detached);
}

bool AudioEngine::streamPlaysOn() {
    std::lock_guard lock(engineLock_);
    std::chrono::milliseconds silentFor{0};
    return output_.checkLoss(Clock::now(), silentFor) == StreamLoss::none;
}

bool AudioEngine::streamNeedsReopen() const {
    return output_.isOpen() && (config_.deviceId != output_.deviceId() ||
                                std::min(requiredChannels_, output_.deviceChannels()) != output_.channels());
}

void AudioEngine::refreshRouting() {
    std::string problem;
    if (output_.isOpen() && requiredChannels_ > output_.deviceChannels())
        problem = messages::routingBeyondDevice(requiredChannels_, output_.deviceChannels());
    if (problem != routingError_) {
        if (!problem.empty()) logLine(messages::kLogMessage, problem.c_str());
        if (lastError_ == routingError_) lastError_ = problem;
        routingError_ = std::move(problem);
    }
    for (auto& [id, deck] : decks_.decks()) noteDeckRouting(deck);
}

void AudioEngine::noteDeckRouting(Deck& deck) const {
    if (!output_.isOpen()) return;
    const std::int64_t needs = static_cast<std::int64_t>(std::max(deck.state.output.channelOffset, 0)) +
                               std::max(deck.state.output.channelCount, 1);
    std::string problem =
        needs > output_.channels() ? messages::routingBeyondDevice(needs, output_.deviceChannels()) : std::string();
    // Another failure the deck reports (a load, a refused play) stays.
    if (deck.state.lastError.empty() || deck.state.lastError == deck.routingError) deck.state.lastError = problem;
    deck.routingError = std::move(problem);
}

void AudioEngine::setRequiredChannels(std::int32_t channels) {
    requiredChannels_ = channels;
    requiredChannelsMirror_ = channels;
}

void AudioEngine::setSampleRate(std::int32_t rate) {
    config_.sampleRate = rate;
    output_.setRate(rate);
}

}  // namespace velmora
