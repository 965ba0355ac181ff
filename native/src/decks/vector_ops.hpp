#pragma once
// Eight float lanes for the render's kernels, in two builds: 128-bit halves
// (the portable path) and one 256-bit vector (built inside an AVX2 function it
// becomes AVX2 instructions). Both see the same operations in the same order,
// so they give the same results to the bit. Only the kernel's file includes
// this: GCC warns about the 256-bit returns in every file that sees them.

#include <cstdint>
#include <cstring>

#include "decks/cpu_features.hpp"

#define VELMORA_ALWAYS_INLINE __attribute__((always_inline))

namespace velmora {

namespace simd {

typedef float f4 __attribute__((vector_size(16)));
typedef std::uint32_t u4 __attribute__((vector_size(16)));
typedef std::int32_t s4 __attribute__((vector_size(16)));
typedef double d2 __attribute__((vector_size(16)));
typedef std::uint64_t q2 __attribute__((vector_size(16)));
// Unaligned views for loads and stores by value: a memcpy from a vector's
// address can keep the vector in memory (an accumulator round-tripping
// through the stack every iteration).
typedef float f4u __attribute__((vector_size(16), aligned(4), may_alias));
typedef std::uint32_t u4u __attribute__((vector_size(16), aligned(4), may_alias));

#define VELMORA_OP VELMORA_ALWAYS_INLINE static inline

// Eight lanes as two 128-bit halves.
struct PortableOps {
    struct F {
        f4 lo, hi;
        // For the gain curve, written once for floats and vectors.
        VELMORA_ALWAYS_INLINE friend F operator+(const F& a, const F& b) { return {a.lo + b.lo, a.hi + b.hi}; }
        VELMORA_ALWAYS_INLINE friend F operator*(const F& a, const F& b) { return {a.lo * b.lo, a.hi * b.hi}; }
    };
    struct U {
        u4 lo, hi;
    };
    VELMORA_OP F add(F a, F b) { return a + b; }
    VELMORA_OP F sub(F a, F b) { return {a.lo - b.lo, a.hi - b.hi}; }
    VELMORA_OP F mul(F a, F b) { return a * b; }
    // max(x, m) keeps m when x is NaN, as std::max(m, x) does.
    VELMORA_OP F max(F x, F m) { return {x.lo > m.lo ? x.lo : m.lo, x.hi > m.hi ? x.hi : m.hi}; }
    VELMORA_OP F abs(F x) {
        const u4 mask = u4{} + 0x7fffffffU;
        return {(f4)((u4)x.lo & mask), (f4)((u4)x.hi & mask)};
    }
    VELMORA_OP F splat(float v) { return {f4{} + v, f4{} + v}; }
    VELMORA_OP F load(const float* p) {
        return {*reinterpret_cast<const f4u*>(p), *reinterpret_cast<const f4u*>(p + 4)};
    }
    VELMORA_OP void store(float* p, F v) {
        *reinterpret_cast<f4u*>(p) = v.lo;
        *reinterpret_cast<f4u*>(p + 4) = v.hi;
    }
    VELMORA_OP F join(f4 lo, f4 hi) { return {lo, hi}; }
    // Per half: the first (low) or second (high) float pairs of a and b.
    VELMORA_OP F lowPairs(F a, F b) {
        return {(f4)__builtin_shufflevector((d2)a.lo, (d2)b.lo, 0, 2),
                (f4)__builtin_shufflevector((d2)a.hi, (d2)b.hi, 0, 2)};
    }
    VELMORA_OP F highPairs(F a, F b) {
        return {(f4)__builtin_shufflevector((d2)a.lo, (d2)b.lo, 1, 3),
                (f4)__builtin_shufflevector((d2)a.hi, (d2)b.hi, 1, 3)};
    }
    // Per half: lanes 0 0 1 1, or 2 2 3 3.
    VELMORA_OP F dupLow(F x) {
        return {__builtin_shufflevector(x.lo, x.lo, 0, 0, 1, 1), __builtin_shufflevector(x.hi, x.hi, 0, 0, 1, 1)};
    }
    VELMORA_OP F dupHigh(F x) {
        return {__builtin_shufflevector(x.lo, x.lo, 2, 2, 3, 3), __builtin_shufflevector(x.hi, x.hi, 2, 2, 3, 3)};
    }
    VELMORA_OP U loadU(const std::uint32_t* p) {
        return {*reinterpret_cast<const u4u*>(p), *reinterpret_cast<const u4u*>(p + 4)};
    }
    VELMORA_OP U addU(U a, U b) { return {a.lo + b.lo, a.hi + b.hi}; }
    VELMORA_OP U mulU(U a, U b) { return {a.lo * b.lo, a.hi * b.hi}; }
    VELMORA_OP U splatU(std::uint32_t v) { return {u4{} + v, u4{} + v}; }
    VELMORA_OP U halve(U a) { return {a.lo >> 1, a.hi >> 1}; }
    // Signed a < b per lane.
    VELMORA_OP U less(U a, U b) { return {(u4)((s4)b.lo > (s4)a.lo), (u4)((s4)b.hi > (s4)a.hi)}; }
    // Lanes below 2^31, to float.
    VELMORA_OP F toFloat(U a) { return {__builtin_convertvector((s4)a.lo, f4), __builtin_convertvector((s4)a.hi, f4)}; }
    // One bit per lane of a mask.
    VELMORA_OP unsigned laneBits(U mask) {
        unsigned bits = 0;
        for (int j = 0; j < 4; ++j) bits |= (mask.lo[j] & 1U) << j | (mask.hi[j] & 1U) << (j + 4);
        return bits;
    }
    VELMORA_OP bool any(U mask) {
#if VELMORA_X86 && defined(__SSE__)
        return _mm_movemask_ps((__m128)(mask.lo | mask.hi)) != 0;
#else
        const q2 m = (q2)(mask.lo | mask.hi);
        return (m[0] | m[1]) != 0;
#endif
    }
};

#if VELMORA_X86
typedef float f8 __attribute__((vector_size(32)));
typedef std::uint32_t u8 __attribute__((vector_size(32)));
typedef std::int32_t s8 __attribute__((vector_size(32)));
typedef double d4 __attribute__((vector_size(32)));
typedef float f8u __attribute__((vector_size(32), aligned(4), may_alias));
typedef std::uint32_t u8u __attribute__((vector_size(32), aligned(4), may_alias));

// Its helpers return 256-bit vectors by value: they are always inlined into
// functions built for AVX2, so no such value crosses a call.

// Eight lanes in one 256-bit vector, with generic vector code.
struct WideOps {
    using F = f8;
    using U = u8;
    VELMORA_OP F add(const F& a, const F& b) { return a + b; }
    VELMORA_OP F sub(const F& a, const F& b) { return a - b; }
    VELMORA_OP F mul(const F& a, const F& b) { return a * b; }
    VELMORA_OP F max(const F& x, const F& m) { return x > m ? x : m; }
    VELMORA_OP F abs(const F& x) { return (f8)((u8)x & 0x7fffffffU); }
    VELMORA_OP F splat(float v) { return f8{} + v; }
    VELMORA_OP F load(const float* p) { return *reinterpret_cast<const f8u*>(p); }
    VELMORA_OP void store(float* p, const F& v) { *reinterpret_cast<f8u*>(p) = v; }
    VELMORA_OP F join(f4 lo, f4 hi) { return __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7); }
    VELMORA_OP F lowPairs(const F& a, const F& b) { return (f8)__builtin_shufflevector((d4)a, (d4)b, 0, 4, 2, 6); }
    VELMORA_OP F highPairs(const F& a, const F& b) { return (f8)__builtin_shufflevector((d4)a, (d4)b, 1, 5, 3, 7); }
    VELMORA_OP F dupLow(const F& x) { return __builtin_shufflevector(x, x, 0, 0, 1, 1, 4, 4, 5, 5); }
    VELMORA_OP F dupHigh(const F& x) { return __builtin_shufflevector(x, x, 2, 2, 3, 3, 6, 6, 7, 7); }
    VELMORA_OP U loadU(const std::uint32_t* p) { return *reinterpret_cast<const u8u*>(p); }
    VELMORA_OP U addU(const U& a, const U& b) { return a + b; }
    VELMORA_OP U mulU(const U& a, const U& b) { return a * b; }
    VELMORA_OP U splatU(std::uint32_t v) { return u8{} + v; }
    VELMORA_OP U halve(const U& a) { return a >> 1; }
    VELMORA_OP U less(const U& a, const U& b) { return (u8)((s8)b > (s8)a); }
    VELMORA_OP F toFloat(const U& a) { return __builtin_convertvector((s8)a, f8); }
    VELMORA_OP unsigned laneBits(const U& mask) {
        unsigned bits = 0;
        for (int j = 0; j < 8; ++j) bits |= (mask[j] & 1U) << j;
        return bits;
    }
    VELMORA_OP bool any(const U& mask) {
#if defined(__GNUC__) && !defined(__clang__)
        // One instruction where the generic reduction takes five. GCC checks
        // the operand only where the kernel is inlined, in the AVX2 function;
        // clang checks it in the template and refuses.
        bool nonzero;
        __asm__("vptest %1, %1" : "=@ccnz"(nonzero) : "x"(mask));
        return nonzero;
#else
        // Halves through memcpy: a shuffle here becomes a slow cross-lane permute.
        u4 lo, hi;
        std::memcpy(&lo, &mask, sizeof lo);
        std::memcpy(&hi, reinterpret_cast<const char*>(&mask) + sizeof lo, sizeof hi);
        const q2 m = (q2)(lo | hi);
        return (m[0] | m[1]) != 0;
#endif
    }
};
#endif

}  // namespace simd
}  // namespace velmora

#undef VELMORA_OP
