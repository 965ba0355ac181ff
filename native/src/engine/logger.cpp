#include "engine/logger.hpp"

#include <cstdarg>
#include <cstdio>

namespace velmora {

void logLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

}  // namespace velmora
