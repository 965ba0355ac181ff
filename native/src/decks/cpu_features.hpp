#pragma once
// The one CPU probe of the render: the kernels and the limiter take their
// AVX2 code where the CPU has it, the portable code elsewhere.

#if defined(__x86_64__) || defined(__i386__)
#define VELMORA_X86 1
#include <immintrin.h>
#else
#define VELMORA_X86 0
#endif

namespace velmora {

#if VELMORA_X86
// Read once at load, before any render.
inline const bool kCpuHasAvx2 = [] {
    __builtin_cpu_init();
    return static_cast<bool>(__builtin_cpu_supports("avx2"));
}();
#else
inline constexpr bool kCpuHasAvx2 = false;
#endif

}  // namespace velmora
