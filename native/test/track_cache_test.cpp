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

// A scenario's steps run on a fresh cache. A lookup names the size of the
// buffer it must serve (0: a miss), so a replaced entry cannot be served.
struct Step {
    bool insert;
    const char* path;
    std::size_t bytes;
    bool playback = false;
};
Step put(const char* path, std::size_t bytes, bool playback = false) { return {true, path, bytes, playback}; }
Step get(const char* path, std::size_t bytes, bool playback = false) { return {false, path, bytes, playback}; }

TEST(TrackCache, RecencyAndByteLimitsDecideWhatStays) {
    const struct {
        const char* name;
        TrackCache::Limits limits;
        std::vector<Step> steps;
        Paths order;
        std::size_t totalBytes;
    } cases[] = {
        {"hits move to the back, the least recent goes first", {3, 1000, 6},
         {put("a", 40), put("b", 40), put("c", 40), get("a", 40), get("missing", 0), put("d", 40)},
         {"c", "a", "d"}, 120},
        {"a reinsert replaces the entry and corrects the total", {},
         {put("a", 400), put("b", 40), put("a", 80), get("b", 40), get("a", 80)}, {"b", "a"}, 120},
        {"the byte limit evicts until the total fits", {16, 100, 6},
         {put("a", 40), put("b", 40), put("c", 40)}, {"b", "c"}, 80},
        {"a track of the whole byte limit evicts all else", {16, 100, 6},
         {put("a", 40), put("b", 40), put("c", 40), put("d", 100)}, {"d"}, 100},
        {"a track over the byte limit is not stored and evicts nothing", {16, 100, 6},
         {put("prepared", 40, true), put("other", 40), put("huge", 104, true), get("huge", 0)},
         {"prepared", "other"}, 80},
        // A later non-playback lookup does not clear the flag; a is then the oldest.
        {"the playback flag from a lookup is sticky", {2, 1 << 20, 6},
         {put("a", 40), put("b", 40), get("a", 40, true), get("a", 40), get("b", 40), put("c", 40)},
         {"a", "c"}, 80},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TrackCache cache(c.limits);
        for (const Step& step : c.steps) {
            if (step.insert) {
                cache.insert(step.path, bufferOfBytes(step.bytes), step.playback);
            } else {
                const PcmBufferPtr served = cache.lookup(step.path, step.playback);
                EXPECT_EQ(served ? served->samples.size() * sizeof(float) : 0, step.bytes) << step.path;
            }
        }
        EXPECT_EQ(cache.recencyOrder(), c.order);
        EXPECT_EQ(cache.totalBytes(), c.totalBytes);
    }
}

std::string numbered(char prefix, int i) {
    std::string name(1, prefix);  // not a + b: GCC 12 warns falsely (-Wrestrict) on that
    name += std::to_string(i);
    return name;
}

// Fills a cache with `playback` playback entries (oldest first), then
// non-playback ones, and adds one more entry.
TEST(TrackCache, PlaybackEntriesAreProtectedUpToTheLimit) {
    const struct {
        const char* name;
        int playback;
        std::size_t maxEntries;
        bool newForPlayback;
        std::string expectedVictim;
    } cases[] = {
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

}  // namespace
}  // namespace velmora
