#pragma once

// The fused multiply-add of one lane, for the tube-by-tube engine and for the
// steps it shares with the lockstep engine.

#include "engine/fma_arm.h"
#include "engine/fma_emulation.h"
#include "engine/lanes.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

// One lane, for the tube-by-tube engine: the instruction in the same form as
// the lanes where the build targets it, the emulation (same NaN rule) on other
// x86-64 builds, the vfma instruction or its emulation on 32-bit ARM
// (engine/fma_arm.h), the fmadd instruction on AArch64 (in the operand order
// of the NEON lanes' fmla), and the maths library's fma elsewhere.
LANE_INLINE float fused(float a, float b, float c)
{
#if defined(__FMA__) && (defined(__x86_64__) || defined(__i386__))
    __m128 r = _mm_set_ss(a);
    __asm__("vfmadd213ss %2, %1, %0" : "+x"(r) : "x"(_mm_set_ss(b)), "x"(_mm_set_ss(c)));
    return _mm_cvtss_f32(r);
#elif defined(__x86_64__) || defined(__i386__)
    return fused_exact(a, b, c);
#elif defined(__arm__)
    return fma_arm::fused(a, b, c);
#elif defined(__aarch64__)
    // Written out, as on x86-64: the multiplicands' order decides which NaN
    // comes out when both are NaN, and the compiler may swap them.
    float r;
    __asm__("fmadd %s0, %s1, %s2, %s3" : "=w"(r) : "w"(a), "w"(b), "w"(c));
    return r;
#else
    return __builtin_fmaf(a, b, c);
#endif
}

LANE_INLINE double fused(double a, double b, double c)
{
#if defined(__FMA__) && (defined(__x86_64__) || defined(__i386__))
    __m128d r = _mm_set_sd(a);
    __asm__("vfmadd213sd %2, %1, %0" : "+x"(r) : "x"(_mm_set_sd(b)), "x"(_mm_set_sd(c)));
    return _mm_cvtsd_f64(r);
#elif defined(__x86_64__) || defined(__i386__)
    return fused_exact(a, b, c);
#elif defined(__arm__)
    return fma_arm::fused(a, b, c);
#elif defined(__aarch64__)
    double r;
    __asm__("fmadd %d0, %d1, %d2, %d3" : "=w"(r) : "w"(a), "w"(b), "w"(c));
    return r;
#else
    return __builtin_fma(a, b, c);
#endif
}
// fused(a, b, c) narrowed to float, as the DC blocker needs it.
LANE_INLINE float fused_narrowed(double a, double b, double c)
{
#if defined(__arm__)
    return fma_arm::fused_narrowed(a, b, c);
#else
    return static_cast<float>(fused(a, b, c));
#endif
}
