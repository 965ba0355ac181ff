#pragma once
// Counts heap allocations and frees made by the calling thread while a
// CountAllocations scope is active on it (global operator new/delete are
// replaced in the test executable).

#include <cstdint>

namespace velmora::test {

class CountAllocations {
public:
    CountAllocations();
    ~CountAllocations();
    CountAllocations(const CountAllocations&) = delete;
    CountAllocations& operator=(const CountAllocations&) = delete;
    std::uint64_t allocations() const;
    std::uint64_t deallocations() const;
};

}  // namespace velmora::test
