#pragma once

// Stand-in until the exact emulation lands: hardware where there is one,
// otherwise std::fma lane by lane.
#include <cmath>

#include "engine/lanes.h"

#if defined(__FMA__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

static inline __attribute__((always_inline)) F32x4 fused(F32x4 a, F32x4 b, F32x4 c)
{
#if defined(__FMA__)
    return (F32x4)_mm_fmadd_ps((__m128)a, (__m128)b, (__m128)c);
#elif defined(__aarch64__)
    return (F32x4)vfmaq_f32((float32x4_t)c, (float32x4_t)a, (float32x4_t)b);
#else
    return F32x4{std::fma(a[0], b[0], c[0]), std::fma(a[1], b[1], c[1]),
                 std::fma(a[2], b[2], c[2]), std::fma(a[3], b[3], c[3])};
#endif
}

static inline __attribute__((always_inline)) F64x4 fused(F64x4 a, F64x4 b, F64x4 c)
{
#if defined(__FMA__)
    return (F64x4)_mm256_fmadd_pd((__m256d)a, (__m256d)b, (__m256d)c);
#else
    return F64x4{std::fma(a[0], b[0], c[0]), std::fma(a[1], b[1], c[1]),
                 std::fma(a[2], b[2], c[2]), std::fma(a[3], b[3], c[3])};
#endif
}
