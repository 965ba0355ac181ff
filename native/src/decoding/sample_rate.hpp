#pragma once
#include <cstdint>

namespace velmora {

// The slowest output rate the engine runs at: every stage that renders,
// decodes or analyses at the output rate raises a slower one to this.
inline constexpr std::int32_t kMinSampleRate = 8000;

}  // namespace velmora
