#include "binding/jobs.hpp"

#include <memory>
#include <utility>

#include "binding/messages.hpp"
#include "binding/records.hpp"
#include "decoding/decode_chain.hpp"
#include "engine/audio_engine.hpp"

namespace velmora::binding {
namespace {

class PromiseJob : public Napi::AsyncWorker {
public:
    explicit PromiseJob(Napi::Env env) : Napi::AsyncWorker(env, "generic"), deferred_(Napi::Promise::Deferred::New(env)) {}
    Napi::Promise promise() const { return deferred_.Promise(); }

protected:
    void OnError(const Napi::Error& error) override { settle(false, error.Value()); }
    void OnOK() override {
        // A failure while building the result rejects rather than leaving the
        // promise pending.
        try {
            settle(true, buildResult(Env()));
        } catch (const Napi::Error& error) {
            settle(false, error.Value());
        }
    }
    virtual Napi::Value buildResult(Napi::Env env) = 0;

private:
    // In an environment being torn down (a terminated worker) the host
    // refuses to settle; that failure has nowhere to go and must not escape
    // into the host's completion callback, which would abort the process.
    void settle(bool resolve, Napi::Value value) {
        try {
            if (resolve) deferred_.Resolve(value);
            else deferred_.Reject(value);
        } catch (const Napi::Error&) {
        }
    }

    Napi::Promise::Deferred deferred_;
};

class PrepareTrackJob final : public PromiseJob {
public:
    PrepareTrackJob(Napi::Env env, TrackDescriptor track) : PromiseJob(env), track_(std::move(track)) {}

protected:
    void Execute() override {
        std::shared_ptr<AudioEngine> engine = AudioEngine::shared();
        if (shouldStreamTrack(track_)) {
            // Streamed tracks are opened by the load itself.
            ok_ = true;
            return;
        }
        PcmBufferPtr buffer = decodeTrack(engine->trackCache(), track_, /*forPlayback=*/true, message_);
        ok_ = buffer != nullptr;
        if (!ok_ && message_.empty()) message_ = messages::kPreparationImpossible;
    }
    Napi::Value buildResult(Napi::Env env) override { return writePrepareResult(env, ok_, message_); }

private:
    TrackDescriptor track_;
    bool ok_ = false;
    std::string message_;
};

class WaveformJob final : public PromiseJob {
public:
    WaveformJob(Napi::Env env, TrackDescriptor track, std::int32_t maxPoints)
        : PromiseJob(env), track_(std::move(track)), maxPoints_(maxPoints) {}

protected:
    void Execute() override {
        std::shared_ptr<AudioEngine> engine = AudioEngine::shared();
        result_ = computeWaveform(engine->currentSampleRate(), track_, maxPoints_);
    }
    Napi::Value buildResult(Napi::Env env) override { return writeWaveformResult(env, result_); }

private:
    TrackDescriptor track_;
    std::int32_t maxPoints_;
    WaveformResult result_;
};

class TrimJob final : public PromiseJob {
public:
    TrimJob(Napi::Env env, TrackDescriptor track, double windowMs, double preRollSec, double postRollSec)
        : PromiseJob(env), track_(std::move(track)), windowMs_(windowMs), preRollSec_(preRollSec),
          postRollSec_(postRollSec) {}

protected:
    void Execute() override {
        std::shared_ptr<AudioEngine> engine = AudioEngine::shared();
        result_ = analyzeTrackTrim(engine->trackCache(), track_, windowMs_, preRollSec_, postRollSec_);
    }
    Napi::Value buildResult(Napi::Env env) override { return writeTrimResult(env, result_); }

private:
    TrackDescriptor track_;
    double windowMs_, preRollSec_, postRollSec_;
    TrimResult result_;
};

template <typename Job, typename... Args>
Napi::Promise start(Napi::Env env, Args&&... args) {
    // Owned here until queued; from then on the host deletes it when done.
    std::unique_ptr<Job> job(new Job(env, std::forward<Args>(args)...));
    Napi::Promise promise = job->promise();
    job->Queue();
    job.release();
    return promise;
}

}  // namespace

Napi::Promise startPrepareTrackJob(Napi::Env env, TrackDescriptor track) {
    return start<PrepareTrackJob>(env, std::move(track));
}

Napi::Promise startWaveformJob(Napi::Env env, TrackDescriptor track, std::int32_t maxPoints) {
    return start<WaveformJob>(env, std::move(track), maxPoints);
}

Napi::Promise startTrimJob(Napi::Env env, TrackDescriptor track, double windowMs, double preRollSec,
                           double postRollSec) {
    return start<TrimJob>(env, std::move(track), windowMs, preRollSec, postRollSec);
}

}  // namespace velmora::binding
