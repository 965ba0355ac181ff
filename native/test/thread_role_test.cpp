#include "realtime/thread_role.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace velmora {
namespace {

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
