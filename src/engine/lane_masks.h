#pragma once

// Whole-vector tests of lane masks (a lane is all ones or all zeros), one
// instruction each where the processor has one: the engine branches on them
// only for rare events, so they must cost next to nothing when nothing
// happens.

#include <cstdint>

#include "engine/lanes.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

// Whether any lane of four is set.
LANE_INLINE bool any_lane(I32x4 mask)
{
#if defined(__x86_64__) || defined(__i386__)
    return _mm_movemask_ps((__m128)mask) != 0;
#elif defined(__aarch64__)
    return vmaxvq_u32((uint32x4_t)mask) != 0;
#else
    return (mask[0] | mask[1] | mask[2] | mask[3]) != 0;
#endif
}

// Whether every lane of four is set.
LANE_INLINE bool all_lanes(I32x4 mask)
{
#if defined(__x86_64__) || defined(__i386__)
    return _mm_movemask_ps((__m128)mask) == 0xF;
#elif defined(__aarch64__)
    return vminvq_u32((uint32x4_t)mask) != 0;
#else
    return (mask[0] & mask[1] & mask[2] & mask[3]) != 0;
#endif
}

// Whether every lane of two pairs of 64-bit lanes is set.
LANE_INLINE bool all_lanes(I64x2 low, I64x2 high)
{
    const I32x4 both = (I32x4)(low & high);
#if defined(__x86_64__) || defined(__i386__)
    return _mm_movemask_ps((__m128)both) == 0xF;
#elif defined(__aarch64__)
    return vminvq_u32((uint32x4_t)both) != 0;
#else
    return (both[0] & both[1] & both[2] & both[3]) != 0;
#endif
}
