#include "platform/file_system.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace velmora::platform {

namespace {

bool holdsNul(const std::string& path) {
    return path.find('\0') != std::string::npos;
}

bool statPath(const std::string& path, struct stat& info) {
    return !path.empty() && !holdsNul(path) && ::stat(path.c_str(), &info) == 0;
}

}  // namespace

std::optional<std::uint64_t> fileSize(const std::string& path) {
    struct stat info {};
    if (!statPath(path, info) || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

std::optional<FileStatus> fileStatus(const std::string& path) {
    struct stat info {};
    if (!statPath(path, info)) return std::nullopt;
    FileStatus status;
    status.size = static_cast<std::uint64_t>(info.st_size);
    status.modifiedNanoseconds =
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    status.deviceId = static_cast<std::uint64_t>(info.st_dev);
    status.fileId = static_cast<std::uint64_t>(info.st_ino);
    return status;
}

bool isSpecialFile(const std::string& path) {
    struct stat info {};
    if (!statPath(path, info)) return false;
    return !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

std::vector<unsigned char> readWholeFile(const std::string& path) {
    if (holdsNul(path) || isSpecialFile(path)) return {};
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

ReadableFile ReadableFile::open(const std::string& path, std::error_code& error) {
    error.clear();
    ReadableFile file;
    if (path.empty() || holdsNul(path)) {
        error = std::make_error_code(std::errc::no_such_file_or_directory);
        return file;
    }
    // Non-blocking, so that a FIFO without a writer does not hold the caller;
    // the file type is then checked on the open file itself.
    const int handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (handle < 0) {
        error = std::error_code(errno, std::generic_category());
        return file;
    }
    file.handle_ = handle;
    struct stat info {};
    if (::fstat(handle, &info) != 0) {
        error = std::error_code(errno, std::generic_category());
    } else if (S_ISDIR(info.st_mode)) {
        error = std::make_error_code(std::errc::is_a_directory);
    } else if (!S_ISREG(info.st_mode)) {
        error = std::make_error_code(std::errc::invalid_argument);
    } else {
        const int flags = ::fcntl(handle, F_GETFL);
        if (flags < 0 || ::fcntl(handle, F_SETFL, flags & ~O_NONBLOCK) < 0)
            error = std::error_code(errno, std::generic_category());
    }
    if (error) file.close();
    return file;
}

std::int64_t ReadableFile::read(void* destination, std::size_t bytes) noexcept {
    if (handle_ < 0) return -1;
    for (;;) {
        const ssize_t got = ::read(handle_, destination, bytes);
        if (got >= 0 || errno != EINTR) return got;
    }
}

std::int64_t ReadableFile::seek(std::int64_t offset, int whence) noexcept {
    if (handle_ < 0) return -1;
    return ::lseek(handle_, static_cast<off_t>(offset), whence);
}

std::int64_t ReadableFile::size() const noexcept {
    struct stat info {};
    if (handle_ < 0 || ::fstat(handle_, &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_size);
}

void ReadableFile::close() noexcept {
    if (handle_ >= 0) ::close(handle_);
    handle_ = -1;
}

}  // namespace velmora::platform
