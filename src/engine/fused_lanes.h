#pragma once

// The fused multiply-add the lockstep engine uses on four lanes: the
// instruction where the build targets it, the exact emulation
// (engine/fma_emulation.h) otherwise.

#include "engine/fma_arm.h"
#include "engine/fma_emulation.h"
#include "engine/fused_scalar.h"
#include "engine/lanes.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

// The fused multiply-add the engine uses: the instruction where the build
// targets it, the emulation otherwise. On x86-64 the instruction is written in
// the one form (vfmadd213, b*a + c) the C library's fma uses, because the
// three forms differ in which NaN they give when both multiplicands are NaN
// and the compiler would pick among them by register allocation.
LANE_INLINE F32x4 fused(F32x4 a, F32x4 b, F32x4 c)
{
#if defined(__FMA__) && (defined(__x86_64__) || defined(__i386__))
    __m128 r = (__m128)a;
    __asm__("vfmadd213ps %2, %1, %0" : "+x"(r) : "x"((__m128)b), "xm"((__m128)c));
    return (F32x4)r;
#elif defined(__aarch64__)
    // On AArch64 too the multiplicands' order picks the NaN, and the compiler
    // may swap them in an intrinsic: the one fmla a*b + c, as the scalar fmadd.
    float32x4_t r = (float32x4_t)c;
    __asm__("fmla %0.4s, %1.4s, %2.4s" : "+w"(r) : "w"((float32x4_t)a), "w"((float32x4_t)b));
    return (F32x4)r;
#elif defined(__arm__)
    return fma_arm::fused(a, b, c);
#else
    return fused_exact(a, b, c);
#endif
}

#if defined(__AVX__)
// Eight lanes: two sub-steps' read positions at once (engine/lockstep_core.h).
LANE_INLINE F32x8 fused(F32x8 a, F32x8 b, F32x8 c)
{
    return join(fused(low_half(a), low_half(b), low_half(c)),
                fused(high_half(a), high_half(b), high_half(c)));
}
#endif

LANE_INLINE F64x4 fused(F64x4 a, F64x4 b, F64x4 c)
{
#if defined(__FMA__) && (defined(__x86_64__) || defined(__i386__))
    __m256d r = (__m256d)a;
    __asm__("vfmadd213pd %2, %1, %0" : "+x"(r) : "x"((__m256d)b), "xm"((__m256d)c));
    return (F64x4)r;
#elif defined(__aarch64__)
    float64x2_t low = (float64x2_t)__builtin_shufflevector(c, c, 0, 1);
    float64x2_t high = (float64x2_t)__builtin_shufflevector(c, c, 2, 3);
    __asm__("fmla %0.2d, %1.2d, %2.2d"
            : "+w"(low)
            : "w"((float64x2_t)__builtin_shufflevector(a, a, 0, 1)),
              "w"((float64x2_t)__builtin_shufflevector(b, b, 0, 1)));
    __asm__("fmla %0.2d, %1.2d, %2.2d"
            : "+w"(high)
            : "w"((float64x2_t)__builtin_shufflevector(a, a, 2, 3)),
              "w"((float64x2_t)__builtin_shufflevector(b, b, 2, 3)));
    return __builtin_shufflevector((F64x2)low, (F64x2)high, 0, 1, 2, 3);
#elif defined(__arm__)
    return fma_arm::fused(a, b, c);
#else
    return fused_exact(a, b, c);
#endif
}

// fused(a, b, c) narrowed to float. b must be a widened float.
LANE_INLINE F32x4 fused_narrowed(F64x4 a, F64x4 b, F64x4 c)
{
#if defined(__FMA__) || defined(__aarch64__)
    return narrow(fused(a, b, c));
#elif defined(__arm__)
    return fma_arm::fused_narrowed(a, b, c);
#else
    return fused_narrowed_exact(a, b, c);
#endif
}

// k*b + c where the multiplicand k is a constant of the loop, never NaN: the
// NaN rule above then gives b's NaN, else c's, whichever multiplicand the
// instruction takes first. On x86-64 that lets the form vfmadd132 (b*k + c,
// into b's register) take k straight from memory, where vfmadd213 needs k in
// its destination register, loaded again at every use. Elsewhere it is
// fused() itself.
template <class K, class V>
LANE_INLINE V fused_by(K k, V b, V c)
{
    return fused(same_as(b, k), b, c);
}

template <class K, class V>
LANE_INLINE auto fused_narrowed_by(K k, V b, V c)
{
    return fused_narrowed(same_as(b, k), b, c);
}

#if defined(__FMA__) && (defined(__x86_64__) || defined(__i386__))
LANE_INLINE F32x4 fused_by(float k, F32x4 b, F32x4 c)
{
    __m128 r = (__m128)b;
    __asm__("vfmadd132ps %2, %1, %0" : "+x"(r) : "x"((__m128)c), "xm"((__m128)same_as(b, k)));
    return (F32x4)r;
}

LANE_INLINE F32x8 fused_by(float k, F32x8 b, F32x8 c)
{
    __m256 r = (__m256)b;
    __asm__("vfmadd132ps %2, %1, %0" : "+x"(r) : "x"((__m256)c), "xm"((__m256)same_as(b, k)));
    return (F32x8)r;
}

LANE_INLINE F32x4 fused_narrowed_by(double k, F64x4 b, F64x4 c)
{
    __m256d r = (__m256d)b;
    __asm__("vfmadd132pd %2, %1, %0" : "+x"(r) : "x"((__m256d)c), "xm"((__m256d)same_as(b, k)));
    return narrow((F64x4)r);
}
#endif
