// The prebuilt Linux module links the C++ runtime in, whose random_device
// refers to arc4random, in glibc only from 2.36. This definition, hidden and
// so seen by the module alone, keeps it loading on glibc 2.35 (Ubuntu 22.04).
// Linked into the module only when its dependencies are static.
#include <sys/random.h>

#include <cerrno>
#include <cstdint>

extern "C" __attribute__((visibility("hidden"))) std::uint32_t arc4random(void) noexcept {
    std::uint32_t value = 0;
    while (getrandom(&value, sizeof value, 0) < 0 && errno == EINTR) {
    }
    return value;
}
