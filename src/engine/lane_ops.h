#pragma once

// Operations on lanes that the vector extension does not spell by itself:
// broadcasts, row loads, masks, transposes, and the halves of eight lanes.
// Each is a move or a bit operation, or an IEEE operation lane by lane.
// Included by the lockstep engine's translation units, each built for its own
// instruction set: everything is static and forced inline.

#include <cstdint>

#include "engine/lane_fma.h"
#include "engine/lanes.h"

#if defined(__AVX__)
#include <immintrin.h>
#elif defined(__SSE__)
#include <xmmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#define LANE_INLINE static inline __attribute__((always_inline))

namespace lockstep {

LANE_INLINE F32x4 splat(float x)
{
    return F32x4{x, x, x, x};
}

LANE_INLINE F64x4 splat(double x)
{
    return F64x4{x, x, x, x};
}

LANE_INLINE I32x4 splat(int32_t x)
{
    return I32x4{x, x, x, x};
}

LANE_INLINE bool any(I32x4 mask)
{
    return lane_fma_detail::any_lane(mask);
}

LANE_INLINE F32x4 load(const float* p)
{
    F32x4 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

LANE_INLINE F32x4 abs(F32x4 x)
{
    return (F32x4)((I32x4)x & splat(0x7FFFFFFF));
}

LANE_INLINE F32x4 sqrt(F32x4 x)
{
#if defined(__SSE__)
    return (F32x4)_mm_sqrt_ps((__m128)x);
#elif defined(__aarch64__)
    return (F32x4)vsqrtq_f32((float32x4_t)x);
#else
    return F32x4{__builtin_sqrtf(x[0]), __builtin_sqrtf(x[1]), __builtin_sqrtf(x[2]),
                 __builtin_sqrtf(x[3])};
#endif
}

// Rows in, columns out: c_j[k] = r_k[j].
LANE_INLINE void transpose(F32x4 r0, F32x4 r1, F32x4 r2, F32x4 r3, F32x4& c0, F32x4& c1,
                           F32x4& c2, F32x4& c3)
{
    const F32x4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
    const F32x4 t1 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
    const F32x4 t2 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
    const F32x4 t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
    c0 = __builtin_shufflevector(t0, t1, 0, 1, 4, 5);
    c1 = __builtin_shufflevector(t0, t1, 2, 3, 6, 7);
    c2 = __builtin_shufflevector(t2, t3, 0, 1, 4, 5);
    c3 = __builtin_shufflevector(t2, t3, 2, 3, 6, 7);
}

// Two four-lane rows side by side, and the halves of eight lanes. Moves of
// whole rows, written so that the compiler sees them as such.
LANE_INLINE F32x8 join(F32x4 low, F32x4 high)
{
#if defined(__AVX__)
    return (F32x8)_mm256_insertf128_ps(_mm256_castps128_ps256((__m128)low), (__m128)high, 1);
#else
    F32x8 both;
    __builtin_memcpy(&both, &low, sizeof low);
    __builtin_memcpy(reinterpret_cast<char*>(&both) + sizeof low, &high, sizeof high);
    return both;
#endif
}

LANE_INLINE F32x8 join(const float* low, const float* high)
{
    return join(load(low), load(high));
}

LANE_INLINE F32x4 low_half(F32x8 x)
{
#if defined(__AVX__)
    return (F32x4)_mm256_castps256_ps128((__m256)x);
#else
    F32x4 half;
    __builtin_memcpy(&half, &x, sizeof half);
    return half;
#endif
}

LANE_INLINE F32x4 high_half(F32x8 x)
{
#if defined(__AVX__)
    return (F32x4)_mm256_extractf128_ps((__m256)x, 1);
#else
    F32x4 half;
    __builtin_memcpy(&half, reinterpret_cast<const char*>(&x) + sizeof half, sizeof half);
    return half;
#endif
}

// The same transpose in each half of eight lanes.
LANE_INLINE void transpose(F32x8 r0, F32x8 r1, F32x8 r2, F32x8 r3, F32x8& c0, F32x8& c1,
                           F32x8& c2, F32x8& c3)
{
    const F32x8 t0 = __builtin_shufflevector(r0, r1, 0, 8, 1, 9, 4, 12, 5, 13);
    const F32x8 t1 = __builtin_shufflevector(r2, r3, 0, 8, 1, 9, 4, 12, 5, 13);
    const F32x8 t2 = __builtin_shufflevector(r0, r1, 2, 10, 3, 11, 6, 14, 7, 15);
    const F32x8 t3 = __builtin_shufflevector(r2, r3, 2, 10, 3, 11, 6, 14, 7, 15);
    c0 = __builtin_shufflevector(t0, t1, 0, 1, 8, 9, 4, 5, 12, 13);
    c1 = __builtin_shufflevector(t0, t1, 2, 3, 10, 11, 6, 7, 14, 15);
    c2 = __builtin_shufflevector(t2, t3, 0, 1, 8, 9, 4, 5, 12, 13);
    c3 = __builtin_shufflevector(t2, t3, 2, 3, 10, 11, 6, 7, 14, 15);
}

}  // namespace lockstep
