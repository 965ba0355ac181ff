#include "platform/standard_output.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace velmora::platform {

bool writeStandardOutput(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A host may have made fd 1 non-blocking: wait until it drains.
            pollfd out{STDOUT_FILENO, POLLOUT, 0};
            if (::poll(&out, 1, -1) < 0 && errno != EINTR) return false;
            if ((out.revents & (POLLERR | POLLNVAL)) != 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace velmora::platform
