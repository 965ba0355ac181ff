#pragma once
// File-system queries used by the decoders. Paths are UTF-8 bytes, used as is;
// a path holding a NUL byte names no file (the system would cut it there and
// reach another one), so every function here treats it as missing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace velmora::platform {

// Size in bytes of a regular file (symlinks followed); nullopt when unreadable.
std::optional<std::uint64_t> fileSize(const std::string& path);

// What tells one version of a file from the next: a rewrite changes its size
// or modification time, a replacement by rename its file id.
struct FileStatus {
    std::uint64_t size = 0;
    std::int64_t modifiedNanoseconds = 0;
    std::uint64_t deviceId = 0;
    std::uint64_t fileId = 0;

    friend bool operator==(const FileStatus&, const FileStatus&) = default;
};

// Status of whatever the path names (symlinks followed); nullopt when it
// cannot be reached.
std::optional<FileStatus> fileStatus(const std::string& path);

// True for an existing path that is neither a regular file nor a directory
// (a FIFO, socket or device): opening or reading one can block the caller
// until a writer appears, or never end, so decoders refuse it unopened.
bool isSpecialFile(const std::string& path);

// libsndfile's text for such a path.
inline constexpr const char* kNotRegularFileText =
    "File does not exist or is not a regular file (possibly a pipe?).";

// Every byte of the file, or none if it cannot be opened or read.
std::vector<unsigned char> readWholeFile(const std::string& path);

// A regular file opened for reading by the engine itself, so that a library
// given it never interprets the path (as a URL, a pattern or stdin).
class ReadableFile {
  public:
    ReadableFile() = default;
    ~ReadableFile();
    ReadableFile(ReadableFile&& other) noexcept;
    ReadableFile& operator=(ReadableFile&& other) noexcept;
    ReadableFile(const ReadableFile&) = delete;
    ReadableFile& operator=(const ReadableFile&) = delete;

    // Opens without ever blocking: FIFOs, sockets, devices and directories
    // are refused. On failure the file stays closed and `error` says why
    // (a system error code: no_such_file_or_directory for a NUL path,
    // is_a_directory, or invalid_argument for other non-regular files).
    static ReadableFile open(const std::string& path, std::error_code& error);

    bool isOpen() const noexcept { return handle_ >= 0; }
    // Bytes read into `destination`; 0 at the end, negative on an error.
    std::int64_t read(void* destination, std::size_t bytes) noexcept;
    // `whence` is SEEK_SET, SEEK_CUR or SEEK_END; the new offset, or negative.
    std::int64_t seek(std::int64_t offset, int whence) noexcept;
    // Size in bytes, or negative when unknown.
    std::int64_t size() const noexcept;
    void close() noexcept;

  private:
    int handle_ = -1;
};

}  // namespace velmora::platform
