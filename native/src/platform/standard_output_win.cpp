#include "platform/standard_output.hpp"

#include <windows.h>

#include <climits>

namespace velmora::platform {

bool writeStandardOutput(const char* data, std::size_t size) {
    // WriteFile waits for a pipe's reader; a console or file takes it at once.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
    while (size > 0) {
        const DWORD chunk = size > INT_MAX ? INT_MAX : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(out, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

}  // namespace velmora::platform
