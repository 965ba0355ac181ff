#pragma once
// Decoded tracks kept by path so that a prepared, loaded or analysed track is
// decoded once. Bounded by entry count and bytes; playback entries are
// protected from eviction up to a limit.

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "decoding/pcm_buffer.hpp"

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
    };

    // Returns the cached buffer (and marks it for playback when asked), or null.
    PcmBufferPtr lookup(const std::string& path, bool forPlayback);
    // Stores a freshly decoded buffer, replacing an entry for the same path,
    // then evicts down to the limits. A buffer larger than the byte limit on
    // its own is not stored and evicts nothing.
    void insert(const std::string& path, PcmBufferPtr buffer, bool forPlayback);

    std::size_t size() const;
    std::uint64_t totalBytes() const;
    bool contains(const std::string& path) const;
    void clear();
    // Paths from least to most recently used.
    std::vector<std::string> recencyOrder() const;

  private:
    void evictCachedTracks();  // mutex held
    void removeFromRecency(const std::string& path);

    Limits limits_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::deque<std::string> recency_;  // least recent at the front
    std::uint64_t totalBytes_ = 0;
};

}  // namespace velmora
