#include "realtime/reclaim_domain.hpp"

#include <algorithm>

namespace velmora {

ReclaimDomain::~ReclaimDomain() = default;

bool ReclaimDomain::reachable(std::uint64_t retiredAt) const noexcept {
    // Retired while no pass ran: any later pass already sees the new pointer.
    if ((retiredAt & 1U) == 0) return false;
    // Retired during a pass: reachable until that pass has ended.
    return passSequence_.load(std::memory_order_seq_cst) <= retiredAt;
}

void ReclaimDomain::retire(std::shared_ptr<const void> object) {
    if (!object) return;
    const std::uint64_t sequence = passSequence_.load(std::memory_order_seq_cst);
    std::lock_guard lock(mutex_);
    retired_.push_back({std::move(object), sequence});
}

std::size_t ReclaimDomain::collect() {
    std::vector<Retired> released;
    {
        std::lock_guard lock(mutex_);
        auto keep = std::stable_partition(retired_.begin(), retired_.end(),
                                          [this](const Retired& r) { return reachable(r.sequence); });
        released.assign(std::make_move_iterator(keep), std::make_move_iterator(retired_.end()));
        retired_.erase(keep, retired_.end());
    }
    // Destructors run here, outside the mutex.
    return released.size();
}

std::size_t ReclaimDomain::pendingCount() const {
    std::lock_guard lock(mutex_);
    return retired_.size();
}

}  // namespace velmora
