#include "realtime/reclaim_domain.hpp"
#include "realtime/thread_role.hpp"
#include "realtime/triple_buffer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace velmora {
namespace {

struct Tracked {
    explicit Tracked(std::atomic<int>& alive) : alive(alive) { ++alive; }
    ~Tracked() { --alive; }
    std::atomic<int>& alive;
    int value = 7;
};

// Retired between passes (before the first one too), an object goes at the
// next collect; retired during a pass, it outlives that pass.
TEST(ReclaimDomain, RetiredObjectOutlivesOnlyThePassThatCouldSeeIt) {
    ReclaimDomain domain;
    std::atomic<int> alive{0};
    RtSlot<Tracked> slot;
    slot.publish(std::make_shared<Tracked>(alive), domain);
    slot.publish(std::make_shared<Tracked>(alive), domain);
    EXPECT_EQ(domain.collect(), 1U);
    EXPECT_EQ(alive.load(), 1);

    domain.beginPass();
    Tracked* seen = slot.load();
    slot.publish(std::make_shared<Tracked>(alive), domain);
    EXPECT_EQ(domain.collect(), 0U);
    EXPECT_EQ(seen->value, 7);  // still valid inside the pass
    domain.endPass();
    EXPECT_EQ(domain.collect(), 1U);
    EXPECT_EQ(alive.load(), 1);

    slot.publish(nullptr, domain);
    EXPECT_EQ(domain.collect(), 1U);
    EXPECT_EQ(alive.load(), 0);
}

// One thread publishes and collects, another renders through the slot in a
// loop; under ThreadSanitizer and ASan this catches use-after-free.
TEST(ReclaimDomain, ConcurrentPublishAndRender) {
    ReclaimDomain domain;
    std::atomic<int> alive{0};
    RtSlot<Tracked> slot;
    slot.publish(std::make_shared<Tracked>(alive), domain);
    std::atomic<bool> stop{false};
    std::atomic<long> passes{0};
    std::thread renderer([&] {
        while (!stop.load()) {
            RenderPassScope pass(domain);
            Tracked* t = slot.load();
            if (t != nullptr && t->value != 7) ADD_FAILURE() << "torn object";
            passes.fetch_add(1);
        }
    });
    for (int i = 0; i < 20000; ++i) {
        slot.publish(std::make_shared<Tracked>(alive), domain);
        if (i % 16 == 0) domain.collect();
    }
    while (passes.load() < 1000) std::this_thread::yield();
    stop = true;
    renderer.join();
    domain.collect();
    EXPECT_EQ(alive.load(), 1);
    EXPECT_GE(passes.load(), 1000);
}

TEST(TripleBuffer, ReaderSeesWholeValuesInOrder) {
    struct Pair {
        long a = 0, b = 0;
    };
    TripleBuffer<Pair> buffer;
    constexpr long kLast = 200000;
    long lastSeen = 0, updates = 0;
    std::thread reader([&] {
        while (lastSeen != kLast) {
            if (buffer.update()) {
                const Pair& p = buffer.front();
                if (p.a != p.b) ADD_FAILURE() << "torn value";
                if (p.a < lastSeen) ADD_FAILURE() << "went backwards";
                lastSeen = p.a;
                ++updates;
            }
        }
    });
    for (long i = 1; i <= kLast; ++i) buffer.publish({i, i});
    reader.join();
    EXPECT_EQ(buffer.front().a, kLast);
    EXPECT_GT(updates, 0);
}

// The negative control of the debug builds' role checks: a second thread
// entering a side the first still holds aborts.
TEST(ThreadRoleDeathTest, SecondThreadOnOneSideAborts) {
#ifdef NDEBUG
    GTEST_SKIP() << "roles are checked in debug builds only";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ThreadRole role;
            const RoleScope held(role);
            std::thread([&] { const RoleScope other(role); }).join();
        },
        "two threads on one side");
#endif
}

}  // namespace
}  // namespace velmora
