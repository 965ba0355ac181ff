#pragma once
// The five argument readers and the request shapes built on them. A field
// counts when the script's `in` operator finds it (own or inherited) and its
// type matches exactly; otherwise its default applies. Nothing converts
// between types.

#include <napi.h>

#include <cstdint>
#include <string>

#include "decks/deck.hpp"
#include "decoding/track_descriptor.hpp"
#include "engine/engine_config.hpp"

namespace velmora::binding {

// Throws the host's error (a pending exception, e.g. the TypeError for
// reading from undefined or null) when a host call fails.
void check(napi_env env, napi_status status);

std::string readString(napi_env env, napi_value object, const char* field, const std::string& fallback);
double readDouble(napi_env env, napi_value object, const char* field, double fallback);
std::int32_t readInt32(napi_env env, napi_value object, const char* field, std::int32_t fallback);
bool readBool(napi_env env, napi_value object, const char* field, bool fallback);
// The field when it is an object or function (arrays included, null not),
// else a new empty object.
napi_value readObject(napi_env env, napi_value object, const char* field);

// The first argument, or undefined.
napi_value requestOf(const Napi::CallbackInfo& info);
// The first argument when it is an object or function, else a new empty object.
napi_value optionalObjectArgument(const Napi::CallbackInfo& info);

EngineConfig readEngineConfig(napi_env env, napi_value object);
TrackDescriptor readTrackDescriptor(napi_env env, napi_value object);
OutputAssignment readOutputAssignment(napi_env env, napi_value object);

}  // namespace velmora::binding
