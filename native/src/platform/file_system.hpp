#pragma once
// File-system queries used by the decoders. Paths are UTF-8 bytes, used as is.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora::platform {

// Size in bytes of a regular file (symlinks followed); nullopt when unreadable.
std::optional<std::uint64_t> fileSize(const std::string& path);

// True for an existing path that is neither a regular file nor a directory
// (a FIFO, socket or device): opening or reading one can block the caller
// until a writer appears, or never end, so decoders refuse it unopened.
bool isSpecialFile(const std::string& path);

// libsndfile's text for such a path.
inline constexpr const char* kNotRegularFileText =
    "File does not exist or is not a regular file (possibly a pipe?).";

// Every byte of the file, or none if it cannot be opened or read.
std::vector<unsigned char> readWholeFile(const std::string& path);

}  // namespace velmora::platform
