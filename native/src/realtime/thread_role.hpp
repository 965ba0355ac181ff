#pragma once
// Thread roles checked in debug builds, as cubeb's ring buffer checks that
// its producer and consumer stay on their threads. A side of a structure may
// pass from one thread to another between uses (the render moves from the
// output thread to a stream's callback and back), but two threads inside one
// side at once abort. Release builds (NDEBUG) keep nothing of it.

#include <atomic>
#include <cassert>
#include <thread>

namespace velmora {

#ifndef NDEBUG
class ThreadRole {
public:
    // Wait-free. The thread holding the side may enter it again.
    void enter() noexcept {
        const std::thread::id self = std::this_thread::get_id();
        std::thread::id expected{};
        if (!holder_.compare_exchange_strong(expected, self, std::memory_order_acquire))
            assert(expected == self && "two threads on one side of a structure at once");
        ++depth_;
    }
    void leave() noexcept {
        assert(heldHere() && "leaving a side this thread does not hold");
        if (--depth_ == 0) holder_.store(std::thread::id{}, std::memory_order_release);
    }
    bool heldHere() const noexcept { return holder_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

private:
    std::atomic<std::thread::id> holder_{};
    int depth_ = 0;  // touched by the holder only
};
#else
class ThreadRole {
public:
    void enter() noexcept {}
    void leave() noexcept {}
    bool heldHere() const noexcept { return true; }
};
#endif

// One use of a side, for the scope's life.
class RoleScope {
public:
    explicit RoleScope(ThreadRole& role) noexcept : role_(role) { role_.enter(); }
    ~RoleScope() { role_.leave(); }
    RoleScope(const RoleScope&) = delete;
    RoleScope& operator=(const RoleScope&) = delete;

private:
    ThreadRole& role_;
};

}  // namespace velmora
