#pragma once
// Engine records to new script objects, keys in their fixed order.

#include <napi.h>

#include <vector>

#include "analysis/trim.hpp"
#include "analysis/waveform.hpp"
#include "decks/deck.hpp"
#include "engine/device_info.hpp"
#include "engine/engine_config.hpp"
#include "engine/runtime_info.hpp"

namespace velmora::binding {

Napi::Object writeEngineConfig(Napi::Env env, const EngineConfig& config);
Napi::Array writeDeviceList(Napi::Env env, const std::vector<DeviceInfo>& devices);
Napi::Object writeRuntimeInfo(Napi::Env env, const RuntimeInfo& info);
Napi::Object writeDeckState(Napi::Env env, const DeckState& state);
Napi::Object writePrepareResult(Napi::Env env, bool ok, const std::string& message);
Napi::Object writeWaveformResult(Napi::Env env, const WaveformResult& result);
Napi::Object writeTrimResult(Napi::Env env, const TrimResult& result);

}  // namespace velmora::binding
