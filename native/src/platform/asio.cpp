#include "platform/asio.hpp"

#include <atomic>

namespace velmora::platform {
namespace {

constexpr int kHostApiNotFound = -9979;  // paHostApiNotFound
std::atomic<AsioBufferSizeQuery> currentQuery{&noAsioBufferSizes};

}  // namespace

int noAsioBufferSizes(int, long*, long*, long*, long*) { return kHostApiNotFound; }

AsioBufferSizeQuery asioBufferSizeQuery() { return currentQuery.load(); }

void setAsioBufferSizeQuery(AsioBufferSizeQuery query) {
    currentQuery.store(query != nullptr ? query : &noAsioBufferSizes);
}

}  // namespace velmora::platform
