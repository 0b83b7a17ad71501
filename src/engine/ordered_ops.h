#pragma once

// Sums and products of two values that may both be NaN, with the NaN they
// give fixed: the first operand's.
//
// When both operands are quiet NaNs (every NaN in the loop is: its first
// operation quietens what comes in), the add and multiply instructions return
// the first one's NaN on x86-64's SSE and AVX, AArch64 and 32-bit ARM's VFP
// alike. But a + b and a * b are commutative to the compiler, which places the
// operands by register allocation: the same expression gave one NaN on one
// engine path and the other on another, or in another compiler's build. So
// wherever two NaNs of different payloads can meet (two inputs, the input and
// the loop, the loop and a NaN coefficient), the steps write plus() and
// times(), whose operands keep their places. A product or sum with a constant
// or a finite position needs neither: only one of its operands can be NaN.

#include "engine/lanes.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

// One operation in its fixed form, for every lane type: AVX's three-operand
// instruction, SSE's two-operand one (the first source is the destination),
// AArch64's scalar or vector instruction, 32-bit ARM's scalar one.
#if defined(__x86_64__) || defined(__i386__)
#if defined(__AVX__)
#define ORDERED_X86(form, type, r, a, b) \
    __asm__("v" form " %2, %1, %0" : "=x"(r) : "x"((type)(a)), "xm"((type)(b)))
// Eight lanes are one AVX register.
#define ORDERED_X86_WIDE(name, form, a, b) \
    __m256 r;                              \
    ORDERED_X86(form, __m256, r, a, b);    \
    return (F32x8)r;
#else
#define ORDERED_X86(form, type, r, a, b)                    \
    do {                                                    \
        (r) = (type)(a);                                    \
        __asm__(form " %1, %0" : "+x"(r) : "x"((type)(b))); \
    } while (0)
// Eight lanes are two SSE registers.
#define ORDERED_X86_WIDE(name, form, a, b)                                              \
    const F32x4 low = name(__builtin_shufflevector(a, a, 0, 1, 2, 3),                   \
                           __builtin_shufflevector(b, b, 0, 1, 2, 3));                  \
    const F32x4 high = name(__builtin_shufflevector(a, a, 4, 5, 6, 7),                  \
                            __builtin_shufflevector(b, b, 4, 5, 6, 7));                 \
    return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
#endif

#define ORDERED_OP(name, scalar, packed)                   \
    LANE_INLINE float name(float a, float b)                          \
    {                                                                 \
        __m128 r;                                                     \
        ORDERED_X86(scalar, __m128, r, _mm_set_ss(a), _mm_set_ss(b)); \
        return _mm_cvtss_f32(r);                                      \
    }                                                                 \
    LANE_INLINE F32x4 name(F32x4 a, F32x4 b)                          \
    {                                                                 \
        __m128 r;                                                     \
        ORDERED_X86(packed, __m128, r, a, b);                         \
        return (F32x4)r;                                              \
    }                                                                 \
    LANE_INLINE F32x8 name(F32x8 a, F32x8 b) { ORDERED_X86_WIDE(name, packed, a, b) }
ORDERED_OP(plus, "addss", "addps")
ORDERED_OP(times, "mulss", "mulps")

#elif defined(__aarch64__)
#define ORDERED_OP(name, instruction)                                                 \
    LANE_INLINE float name(float a, float b)                                          \
    {                                                                                 \
        float r;                                                                      \
        __asm__(instruction " %s0, %s1, %s2" : "=w"(r) : "w"(a), "w"(b));             \
        return r;                                                                     \
    }                                                                                 \
    LANE_INLINE F32x4 name(F32x4 a, F32x4 b)                                          \
    {                                                                                 \
        F32x4 r;                                                                      \
        __asm__(instruction " %0.4s, %1.4s, %2.4s" : "=w"(r) : "w"(a), "w"(b));       \
        return r;                                                                     \
    }                                                                                 \
    LANE_INLINE F32x8 name(F32x8 a, F32x8 b)                                          \
    {                                                                                 \
        return F32x8{name(a.low, b.low), name(a.high, b.high)};                       \
    }
ORDERED_OP(plus, "fadd")
ORDERED_OP(times, "fmul")

#elif defined(__arm__)
// Without NEON the compiler splits four and eight lanes into scalar
// operations itself; each lane here is the scalar instruction, written out
// lane by lane (a loop over a vector's lanes would keep them in memory).
#define ORDERED_OP(name, instruction)                                               \
    LANE_INLINE float name(float a, float b)                                        \
    {                                                                               \
        float r;                                                                    \
        __asm__(instruction " %0, %1, %2" : "=t"(r) : "t"(a), "t"(b));              \
        return r;                                                                   \
    }                                                                               \
    LANE_INLINE F32x4 name(F32x4 a, F32x4 b)                                        \
    {                                                                               \
        return F32x4{name(a[0], b[0]), name(a[1], b[1]), name(a[2], b[2]),          \
                     name(a[3], b[3])};                                             \
    }                                                                               \
    LANE_INLINE F32x8 name(F32x8 a, F32x8 b)                                        \
    {                                                                               \
        return F32x8{name(a[0], b[0]), name(a[1], b[1]), name(a[2], b[2]),          \
                     name(a[3], b[3]), name(a[4], b[4]), name(a[5], b[5]),          \
                     name(a[6], b[6]), name(a[7], b[7])};                           \
    }
ORDERED_OP(plus, "vadd.f32")
ORDERED_OP(times, "vmul.f32")

#else
// Elsewhere the compiler's operator, and whatever NaN rule it brings.
#define ORDERED_OP(name, operator_)                                                            \
    LANE_INLINE float name(float a, float b) { return a operator_ b; }                        \
    LANE_INLINE F32x4 name(F32x4 a, F32x4 b) { return a operator_ b; }                        \
    LANE_INLINE F32x8 name(F32x8 a, F32x8 b) { return a operator_ b; }
ORDERED_OP(plus, +)
ORDERED_OP(times, *)
#endif
#undef ORDERED_OP
#undef ORDERED_X86
#undef ORDERED_X86_WIDE
