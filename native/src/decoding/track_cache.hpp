#pragma once
// Decoded tracks kept by path so that a prepared, loaded or analysed track is
// decoded once. Bounded by entry count and bytes; playback entries are
// protected from eviction up to a limit.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "decoding/pcm_buffer.hpp"
#include "platform/file_system.hpp"

namespace velmora {

class TrackCache {
  public:
    static constexpr std::size_t kMaxEntries = 16;
    static constexpr std::uint64_t kMaxBytes = 402'653'184;  // 384 MiB of samples
    static constexpr std::size_t kProtectedPlaybackEntries = 6;

    // Bounds; the defaults are the production ones, smaller ones exercise eviction.
    struct Limits {
        std::size_t maxEntries = kMaxEntries;
        std::uint64_t maxBytes = kMaxBytes;
        std::size_t protectedPlaybackEntries = kProtectedPlaybackEntries;
    };

    TrackCache() = default;
    explicit TrackCache(Limits limits) : limits_(limits) {}

    struct Entry {
        PcmBufferPtr buffer;
        std::uint64_t byteSize = 0;
        bool forPlayback = false;
        std::optional<platform::FileStatus> file;  // the file it was decoded from
    };

    // Returns the cached buffer (and marks it for playback when asked), or
    // null. `file` is the status of the file at `path` now: an entry decoded
    // from another version of it is stale and dropped; when the file cannot
    // be reached (nullopt), the entry is served as it is.
    PcmBufferPtr lookup(const std::string& path, bool forPlayback,
                        const std::optional<platform::FileStatus>& file = std::nullopt);
    // Stores a freshly decoded buffer with the status its file had before
    // decoding, replacing an entry for the same path, then evicts down to the
    // limits. A buffer larger than the byte limit on its own is not stored
    // and evicts nothing.
    void insert(const std::string& path, PcmBufferPtr buffer, bool forPlayback,
                const std::optional<platform::FileStatus>& file = std::nullopt);

    std::size_t size() const;
    std::uint64_t totalBytes() const;
    bool contains(const std::string& path) const;
    void clear();
    // Paths from least to most recently used.
    std::vector<std::string> recencyOrder() const;

  private:
    void evictCachedTracks();  // mutex held
    void removeFromRecency(const std::string& path);
    void erase(std::unordered_map<std::string, Entry>::iterator entry);  // mutex held

    Limits limits_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::deque<std::string> recency_;  // least recent at the front
    std::uint64_t totalBytes_ = 0;
};

}  // namespace velmora
