#pragma once
#include <cstddef>

namespace velmora::platform {

// Writes all `size` bytes to the process's standard output (fd 1), waiting
// as long as the reader takes, also when the descriptor is non-blocking.
// Returns false when it cannot be written at all (closed, or no reader).
bool writeStandardOutput(const char* data, std::size_t size);

}  // namespace velmora::platform
