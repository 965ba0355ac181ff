#pragma once
// Puts fuzz bytes into a file the decoders open by path. The first byte picks
// the file's extension, since decoders route on it.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace velmora::fuzz {

inline const char* const kExtensions[] = {"wav", "flac", "ogg", "mp3", "opus", "aiff", "m4a", "caf", "bin", "w64"};
inline constexpr std::size_t kExtensionCount = sizeof kExtensions / sizeof kExtensions[0];

inline const std::string& scratchDir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/velmora-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) std::abort();
        return std::string(made);
    }();
    return dir;
}

// Writes `size` bytes to a file named after `extensionByte`; returns its path.
inline std::string writeInput(std::uint8_t extensionByte, const std::uint8_t* data, std::size_t size) {
    const std::string path = scratchDir() + "/input." + kExtensions[extensionByte % kExtensionCount];
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
    return path;
}

}  // namespace velmora::fuzz
