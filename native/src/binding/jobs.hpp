#pragma once
// Background jobs: the work runs on the host's worker pool, the promise
// settles on the script thread. A job resolves whenever its work returns
// (failures included, as ok false) and rejects only when the work throws.

#include <napi.h>

#include "analysis/trim.hpp"
#include "analysis/waveform.hpp"
#include "decoding/track_descriptor.hpp"

namespace velmora::binding {

Napi::Promise startPrepareTrackJob(Napi::Env env, TrackDescriptor track);
Napi::Promise startWaveformJob(Napi::Env env, TrackDescriptor track, std::int32_t maxPoints);
Napi::Promise startTrimJob(Napi::Env env, TrackDescriptor track, double windowMs, double preRollSec,
                           double postRollSec);

}  // namespace velmora::binding
