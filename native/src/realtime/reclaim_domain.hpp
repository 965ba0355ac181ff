#pragma once
// Deferred reclamation for objects the audio thread reads through raw pointers.
//
// The render never holds a counted reference: it reads raw pointers that the
// control side publishes. When the control side replaces an object it hands
// the last owning reference to retire(); the object is destroyed by collect()
// on a non-real-time thread once every render pass that might have seen it has
// ended. So no final release, and no free, ever happens on the audio thread.
//
// Only one render pass runs at a time per domain (the engine's render token
// guarantees it, debug builds check it), so one sequence counter describes the
// renderer: odd while a pass runs, even between passes.

#include <atomic>
#include <cassert>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "realtime/thread_role.hpp"

namespace velmora {

class ReclaimDomain {
public:
    ReclaimDomain() = default;
    ReclaimDomain(const ReclaimDomain&) = delete;
    ReclaimDomain& operator=(const ReclaimDomain&) = delete;
    ~ReclaimDomain();

    // Audio thread. Wait-free: one atomic increment each.
    void beginPass() noexcept {
        renderer_.enter();
        [[maybe_unused]] const std::uint64_t before = passSequence_.fetch_add(1, std::memory_order_seq_cst);
        assert((before & 1U) == 0 && "a render pass inside another");
    }
    void endPass() noexcept {
        passSequence_.fetch_add(1, std::memory_order_seq_cst);
        renderer_.leave();
    }

    // Control threads. Call after the pointer that reached `object` has been
    // replaced; the object lives until no pass can still be using it.
    void retire(std::shared_ptr<const void> object);

    // Control threads. Destroys what no pass can reach any more; returns how
    // many objects were released.
    std::size_t collect();

    std::size_t pendingCount() const;
    std::uint64_t passSequence() const noexcept { return passSequence_.load(); }

private:
    struct Retired {
        std::shared_ptr<const void> object;
        std::uint64_t sequence;
    };
    bool reachable(std::uint64_t retiredAt) const noexcept;

    std::atomic<std::uint64_t> passSequence_{0};
    ThreadRole renderer_;
    mutable std::mutex mutex_;
    std::vector<Retired> retired_;
};

// RAII for one render pass.
class RenderPassScope {
public:
    explicit RenderPassScope(ReclaimDomain& domain) noexcept : domain_(domain) { domain_.beginPass(); }
    ~RenderPassScope() { domain_.endPass(); }
    RenderPassScope(const RenderPassScope&) = delete;
    RenderPassScope& operator=(const RenderPassScope&) = delete;

private:
    ReclaimDomain& domain_;
};

// A pointer the audio thread loads without locks or reference counts, and the
// control side replaces under its own lock. The previous object is retired
// into the domain rather than released here.
template <typename T>
class RtSlot {
public:
    RtSlot() = default;
    RtSlot(const RtSlot&) = delete;
    RtSlot& operator=(const RtSlot&) = delete;

    // Audio thread. Lock-free: one acquire load.
    T* load() const noexcept { return raw_.load(std::memory_order_acquire); }

    // Control side, serialised by the caller.
    void publish(std::shared_ptr<T> next, ReclaimDomain& domain) {
        const RoleScope publishing(publisher_);
        if (next.get() == owner_.get()) return;
        raw_.store(next.get(), std::memory_order_seq_cst);
        std::shared_ptr<T> previous = std::exchange(owner_, std::move(next));
        if (previous) domain.retire(std::move(previous));
    }
    const std::shared_ptr<T>& owner() const noexcept { return owner_; }

private:
    std::atomic<T*> raw_{nullptr};
    std::shared_ptr<T> owner_;
    ThreadRole publisher_;
};

}  // namespace velmora
