#include "decoding/track_cache.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora {
namespace {

PcmBufferPtr bufferOfBytes(std::size_t bytes) {
    auto buffer = std::make_shared<PcmBuffer>();
    buffer->sampleRate = 48000;
    buffer->channels = 1;
    buffer->samples.assign(bytes / sizeof(float), 0.25f);
    return buffer;
}

using Paths = std::vector<std::string>;

std::string numbered(char prefix, int i) {
    std::string name(1, prefix);
    name += std::to_string(i);
    return name;
}

TEST(TrackCache, HitsMoveToTheBackAndTheLeastRecentGoesFirst) {
    TrackCache cache(TrackCache::Limits{3, 1000, 6});
    for (const char* path : {"a", "b", "c"}) cache.insert(path, bufferOfBytes(40), false);
    ASSERT_NE(cache.lookup("a", false), nullptr);
    EXPECT_EQ(cache.lookup("missing", false), nullptr);
    cache.insert("d", bufferOfBytes(40), false);
    EXPECT_EQ(cache.recencyOrder(), (Paths{"c", "a", "d"}));
    EXPECT_FALSE(cache.contains("b"));
    EXPECT_EQ(cache.totalBytes(), 120u);
}

TEST(TrackCache, ReinsertReplacesTheEntryAndCorrectsTheTotal) {
    TrackCache cache;
    cache.insert("a", bufferOfBytes(400), false);
    cache.insert("b", bufferOfBytes(40), false);
    auto replacement = bufferOfBytes(80);
    cache.insert("a", replacement, false);
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_EQ(cache.totalBytes(), 120u);
    EXPECT_EQ(cache.recencyOrder(), (Paths{"b", "a"}));
    EXPECT_EQ(cache.lookup("a", false), replacement);
}

TEST(TrackCache, ByteLimitEvictsUntilTheTotalFits) {
    TrackCache cache(TrackCache::Limits{16, 100, 6});
    for (const char* path : {"a", "b", "c"}) cache.insert(path, bufferOfBytes(40), false);
    EXPECT_EQ(cache.recencyOrder(), (Paths{"b", "c"}));
    EXPECT_EQ(cache.totalBytes(), 80u);
    cache.insert("d", bufferOfBytes(100), false);
    EXPECT_EQ(cache.recencyOrder(), (Paths{"d"}));
    EXPECT_EQ(cache.totalBytes(), 100u);
}

TEST(TrackCache, TrackLargerThanTheByteLimitIsNotStoredAndEvictsNothing) {
    TrackCache cache(TrackCache::Limits{16, 100, 6});
    cache.insert("prepared", bufferOfBytes(40), true);
    cache.insert("other", bufferOfBytes(40), false);
    cache.insert("huge", bufferOfBytes(104), true);
    EXPECT_FALSE(cache.contains("huge"));
    EXPECT_EQ(cache.recencyOrder(), (Paths{"prepared", "other"}));
    EXPECT_EQ(cache.totalBytes(), 80u);
}

// Fills a cache of 8 entries with `playback` playback entries (oldest first)
// then non-playback ones, and adds one more entry.
struct ProtectionCase {
    const char* name;
    int playback;
    std::size_t maxEntries;
    bool newForPlayback;
    std::string expectedVictim;
};

TEST(TrackCache, PlaybackEntriesAreProtectedUpToTheLimit) {
    const ProtectionCase cases[] = {
        {"six protected, oldest non-playback goes", 6, 8, false, "n0"},
        {"seven: nothing is protected", 7, 8, false, "p0"},
        {"all protected: the oldest goes anyway", 4, 4, true, "p0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TrackCache cache(TrackCache::Limits{c.maxEntries, 1 << 20, 6});
        std::size_t inserted = 0;
        for (int i = 0; i < c.playback; ++i, ++inserted)
            cache.insert(numbered('p', i), bufferOfBytes(40), true);
        for (int i = 0; inserted < c.maxEntries; ++i, ++inserted)
            cache.insert(numbered('n', i), bufferOfBytes(40), false);
        ASSERT_EQ(cache.size(), c.maxEntries);
        cache.insert("new", bufferOfBytes(40), c.newForPlayback);
        EXPECT_EQ(cache.size(), c.maxEntries);
        EXPECT_FALSE(cache.contains(c.expectedVictim));
        EXPECT_TRUE(cache.contains("new"));
    }
}

TEST(TrackCache, PlaybackFlagFromALookupIsSticky) {
    TrackCache cache(TrackCache::Limits{2, 1 << 20, 6});
    cache.insert("a", bufferOfBytes(40), false);
    cache.insert("b", bufferOfBytes(40), false);
    ASSERT_NE(cache.lookup("a", true), nullptr);
    ASSERT_NE(cache.lookup("a", false), nullptr);  // does not clear it
    ASSERT_NE(cache.lookup("b", false), nullptr);  // a is now the oldest
    cache.insert("c", bufferOfBytes(40), false);
    EXPECT_EQ(cache.recencyOrder(), (Paths{"a", "c"}));
}

}  // namespace
}  // namespace velmora
