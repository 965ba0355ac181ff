#pragma once
// Wait-free hand-over of a whole value from one writer to one reader.
//
// Thread roles: one writer (the control side, under the engine lock) fills
// back() and calls publish(); one reader at a time (the render) calls
// update() at the start of a buffer and then reads front(). Each side owns its
// buffer exclusively, so the reader never sees a half-written value and
// neither side ever waits. A publish that the reader has not taken yet is
// replaced by the next one.

#include <atomic>
#include <cstdint>

namespace velmora {

template <typename T>
class TripleBuffer {
public:
    // Writer side.
    T& back() noexcept { return buffers_[backIndex_]; }
    void publish() noexcept {
        const std::uint8_t previous =
            middle_.exchange(static_cast<std::uint8_t>(backIndex_ | kDirty), std::memory_order_seq_cst);
        backIndex_ = previous & kIndexMask;
    }

    // Reader side. Wait-free: at most one exchange.
    bool update() noexcept {
        // Sequentially consistent so that, with the reclaim domain's pass counter,
        // a pass that begins after a publish always sees it.
        if ((middle_.load(std::memory_order_seq_cst) & kDirty) == 0) return false;
        const std::uint8_t previous = middle_.exchange(frontIndex_, std::memory_order_acq_rel);
        frontIndex_ = previous & kIndexMask;
        return true;
    }
    const T& front() const noexcept { return buffers_[frontIndex_]; }

private:
    static constexpr std::uint8_t kDirty = 4;
    static constexpr std::uint8_t kIndexMask = 3;
    T buffers_[3]{};
    std::uint8_t backIndex_ = 0;   // writer only
    std::uint8_t frontIndex_ = 1;  // reader only
    std::atomic<std::uint8_t> middle_{2};
};

}  // namespace velmora
