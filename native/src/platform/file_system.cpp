#include "platform/file_system.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>

namespace velmora::platform {

std::optional<std::uint64_t> fileSize(const std::string& path) {
    std::error_code error;
    const std::filesystem::path fsPath(path);
    const auto size = std::filesystem::file_size(fsPath, error);
    if (error) return std::nullopt;
    return static_cast<std::uint64_t>(size);
}

bool isSpecialFile(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return false;
    return !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

std::vector<unsigned char> readWholeFile(const std::string& path) {
    if (isSpecialFile(path)) return {};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) return {};
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < sizeof chunk) break;
    }
    // A read error (a directory, an I/O fault) yields nothing rather than a partial file.
    if (std::ferror(file.get())) return {};
    return bytes;
}

}  // namespace velmora::platform
