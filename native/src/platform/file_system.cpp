#include "platform/file_system.hpp"

#include <utility>

// What both platforms' files share: the handle's ownership.
namespace velmora::platform {

ReadableFile::~ReadableFile() {
    close();
}

ReadableFile::ReadableFile(ReadableFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

ReadableFile& ReadableFile::operator=(ReadableFile&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

}  // namespace velmora::platform
