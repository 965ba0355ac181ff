#include "platform/file_system.hpp"
#include "platform/wide_path_win.hpp"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>

// Paths arrive as UTF-8; Windows' narrow APIs would read them in the ANSI code
// page, so every name is converted and opened with the wide API.
namespace velmora::platform {

std::wstring toWidePath(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos || path.size() > INT_MAX) return {};
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                           static_cast<int>(path.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                        wide.data(), length);
    return wide;
}

namespace {

struct HandleInfo {
    BY_HANDLE_FILE_INFORMATION info{};
    DWORD type = FILE_TYPE_UNKNOWN;
};

// What the path names, read from a handle opened without access rights
// (so it reaches directories too, and follows links like stat).
std::optional<HandleInfo> queryPath(const std::string& path) {
    const std::wstring wide = toWidePath(path);
    if (wide.empty()) return std::nullopt;
    HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    HandleInfo result;
    result.type = GetFileType(handle);
    const bool known = result.type != FILE_TYPE_DISK ||
                       GetFileInformationByHandle(handle, &result.info) != 0;
    CloseHandle(handle);
    if (!known) return std::nullopt;
    return result;
}

bool isDirectory(const HandleInfo& file) {
    return (file.info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isRegular(const HandleInfo& file) {
    return file.type == FILE_TYPE_DISK && !isDirectory(file);
}

std::uint64_t joined(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

}  // namespace

std::optional<std::uint64_t> fileSize(const std::string& path) {
    const auto file = queryPath(path);
    if (!file || !isRegular(*file)) return std::nullopt;
    return joined(file->info.nFileSizeHigh, file->info.nFileSizeLow);
}

std::optional<FileStatus> fileStatus(const std::string& path) {
    const auto file = queryPath(path);
    if (!file) return std::nullopt;
    FileStatus status;
    status.size = joined(file->info.nFileSizeHigh, file->info.nFileSizeLow);
    // 100 ns ticks; the epoch does not matter, only that a rewrite changes it.
    status.modifiedNanoseconds = static_cast<std::int64_t>(joined(
                                     file->info.ftLastWriteTime.dwHighDateTime,
                                     file->info.ftLastWriteTime.dwLowDateTime)) *
                                 100;
    status.deviceId = file->info.dwVolumeSerialNumber;
    status.fileId = joined(file->info.nFileIndexHigh, file->info.nFileIndexLow);
    return status;
}

bool isSpecialFile(const std::string& path) {
    const auto file = queryPath(path);
    return file && file->type != FILE_TYPE_DISK;
}

std::vector<unsigned char> readWholeFile(const std::string& path) {
    std::error_code error;
    ReadableFile file = ReadableFile::open(path, error);
    if (error) return {};
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    for (;;) {
        const std::int64_t got = file.read(chunk, sizeof chunk);
        // A read error yields nothing rather than a partial file.
        if (got < 0) return {};
        if (got == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

ReadableFile ReadableFile::open(const std::string& path, std::error_code& error) {
    error.clear();
    ReadableFile file;
    const std::wstring wide = toWidePath(path);
    if (wide.empty()) {
        error = std::make_error_code(std::errc::no_such_file_or_directory);
        return file;
    }
    // Devices and pipes are refused before opening: opening a console or a
    // pipe can wait for the other side.
    const auto named = queryPath(path);
    if (named && isDirectory(*named)) {
        error = std::make_error_code(std::errc::is_a_directory);
        return file;
    }
    if (named && !isRegular(*named)) {
        error = std::make_error_code(std::errc::invalid_argument);
        return file;
    }
    const int handle = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (handle < 0) {
        error = std::error_code(errno, std::generic_category());
        return file;
    }
    file.handle_ = handle;
    return file;
}

std::int64_t ReadableFile::read(void* destination, std::size_t bytes) noexcept {
    if (handle_ < 0) return -1;
    const unsigned int count = bytes > INT_MAX ? INT_MAX : static_cast<unsigned int>(bytes);
    return _read(handle_, destination, count);
}

std::int64_t ReadableFile::seek(std::int64_t offset, int whence) noexcept {
    if (handle_ < 0) return -1;
    return _lseeki64(handle_, offset, whence);
}

std::int64_t ReadableFile::size() const noexcept {
    struct _stat64 info {};
    if (handle_ < 0 || _fstat64(handle_, &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_size);
}

void ReadableFile::close() noexcept {
    if (handle_ >= 0) _close(handle_);
    handle_ = -1;
}

}  // namespace velmora::platform
