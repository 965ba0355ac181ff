#include "decoding/track_cache.hpp"

#include <algorithm>

namespace velmora {

namespace {

void subtractFloorZero(std::uint64_t& total, std::uint64_t amount) {
    total = amount > total ? 0 : total - amount;
}

}  // namespace

PcmBufferPtr TrackCache::lookup(const std::string& path, bool forPlayback,
                                const std::optional<platform::FileStatus>& file) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(path);
    if (it == entries_.end()) return nullptr;
    // A file rewritten since it was decoded: no caller may get the old audio.
    if (file && it->second.file != file) {
        erase(it);
        return nullptr;
    }
    if (forPlayback) it->second.forPlayback = true;  // sticky until evicted
    removeFromRecency(path);
    recency_.push_back(path);
    return it->second.buffer;
}

void TrackCache::insert(const std::string& path, PcmBufferPtr buffer, bool forPlayback,
                        const std::optional<platform::FileStatus>& file) {
    if (!buffer) return;
    const std::uint64_t byteSize =
        static_cast<std::uint64_t>(buffer->samples.size()) * sizeof(float);
    std::lock_guard lock(mutex_);
    // Storing it would evict everything, prepared tracks included, and then
    // itself: the caller keeps its own reference instead.
    if (byteSize > limits_.maxBytes) return;
    if (const auto it = entries_.find(path); it != entries_.end()) erase(it);
    entries_.emplace(path, Entry{std::move(buffer), byteSize, forPlayback, file});
    recency_.push_back(path);
    totalBytes_ += byteSize;
    evictCachedTracks();
}

void TrackCache::evictCachedTracks() {
    while (!recency_.empty() &&
           (recency_.size() > limits_.maxEntries || totalBytes_ > limits_.maxBytes)) {
        std::size_t playbackEntries = 0;
        for (const auto& [path, entry] : entries_)
            if (entry.forPlayback) ++playbackEntries;
        const bool protectPlayback = playbackEntries <= limits_.protectedPlaybackEntries;

        bool evicted = false;
        for (auto it = recency_.begin(); it != recency_.end();) {
            const auto entry = entries_.find(*it);
            if (entry == entries_.end()) {
                it = recency_.erase(it);
                continue;
            }
            if (!protectPlayback || !entry->second.forPlayback) {
                subtractFloorZero(totalBytes_, entry->second.byteSize);
                const std::string victim = *it;
                entries_.erase(entry);
                removeFromRecency(victim);
                evicted = true;
                break;
            }
            ++it;
        }
        if (evicted || recency_.empty()) continue;

        // Every remaining entry is protected: the least recent goes anyway.
        const std::string victim = recency_.front();
        if (const auto entry = entries_.find(victim); entry != entries_.end()) {
            subtractFloorZero(totalBytes_, entry->second.byteSize);
            entries_.erase(entry);
        }
        removeFromRecency(victim);
    }
}

void TrackCache::erase(std::unordered_map<std::string, Entry>::iterator entry) {
    subtractFloorZero(totalBytes_, entry->second.byteSize);
    removeFromRecency(entry->first);
    entries_.erase(entry);
}

void TrackCache::removeFromRecency(const std::string& path) {
    recency_.erase(std::remove(recency_.begin(), recency_.end(), path), recency_.end());
}

std::size_t TrackCache::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::uint64_t TrackCache::totalBytes() const {
    std::lock_guard lock(mutex_);
    return totalBytes_;
}

bool TrackCache::contains(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return entries_.count(path) != 0;
}

void TrackCache::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    recency_.clear();
    totalBytes_ = 0;
}

std::vector<std::string> TrackCache::recencyOrder() const {
    std::lock_guard lock(mutex_);
    return {recency_.begin(), recency_.end()};
}

}  // namespace velmora
