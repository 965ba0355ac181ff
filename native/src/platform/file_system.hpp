#pragma once
// File-system queries used by the decoders. Paths are UTF-8 bytes, used as is.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora::platform {

// Size in bytes of a regular file (symlinks followed); nullopt when unreadable.
std::optional<std::uint64_t> fileSize(const std::string& path);

// Every byte of the file, or none if it cannot be opened or read.
std::vector<unsigned char> readWholeFile(const std::string& path);

}  // namespace velmora::platform
