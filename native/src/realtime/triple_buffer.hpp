#pragma once
// Wait-free hand-over of a whole value from one writer to one reader.
//
// Thread roles: one writer at a time (the control side, under the engine
// lock) publishes; one reader at a time (the render) takes the newest value
// at the start of a buffer and reads it through a Reading. Each side owns its
// buffer exclusively, so the reader never sees a half-written value and
// neither side ever waits. A publish that the reader has not taken yet is
// replaced by the next one. Debug builds check the roles.

#include <atomic>
#include <cstdint>

#include "realtime/thread_role.hpp"

namespace velmora {

template <typename T>
class TripleBuffer {
public:
    // Writer side.
    void publish(const T& value) noexcept {
        const RoleScope writing(writer_);
        buffers_[backIndex_] = value;
        const std::uint8_t previous =
            middle_.exchange(static_cast<std::uint8_t>(backIndex_ | kDirty), std::memory_order_seq_cst);
        backIndex_ = previous & kIndexMask;
    }

    // Reader side. Wait-free: at most one exchange. True when a new value came.
    bool update() noexcept {
        const RoleScope reading(reader_);
        // Sequentially consistent so that, with the reclaim domain's pass counter,
        // a pass that begins after a publish always sees it.
        if ((middle_.load(std::memory_order_seq_cst) & kDirty) == 0) return false;
        const std::uint8_t previous = middle_.exchange(frontIndex_, std::memory_order_acq_rel);
        frontIndex_ = previous & kIndexMask;
        return true;
    }
    const T& front() const noexcept { return buffers_[frontIndex_]; }

    // The reader's hold on the newest value for one pass.
    class Reading {
    public:
        explicit Reading(TripleBuffer& buffer) noexcept : buffer_(buffer), role_(buffer.reader_) { buffer_.update(); }
        const T& value() const noexcept { return buffer_.front(); }

    private:
        TripleBuffer& buffer_;
        RoleScope role_;
    };
    Reading read() noexcept { return Reading(*this); }

private:
    static constexpr std::uint8_t kDirty = 4;
    static constexpr std::uint8_t kIndexMask = 3;
    T buffers_[3]{};
    std::uint8_t backIndex_ = 0;   // writer only
    std::uint8_t frontIndex_ = 1;  // reader only
    std::atomic<std::uint8_t> middle_{2};
    ThreadRole writer_;
    ThreadRole reader_;
};

}  // namespace velmora
