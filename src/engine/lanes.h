#pragma once

#include <cstdint>

// Four lanes, one per tube, in the compiler's vector extension. Every operator
// on these types is the IEEE operation of the scalar code done lane by lane,
// rounded the same way; nothing is fused unless a function says so by name.
typedef float F32x4 __attribute__((vector_size(16)));
typedef double F64x4 __attribute__((vector_size(32)));
typedef int32_t I32x4 __attribute__((vector_size(16)));
typedef uint32_t U32x4 __attribute__((vector_size(16)));
typedef int64_t I64x4 __attribute__((vector_size(32)));
typedef uint64_t U64x4 __attribute__((vector_size(32)));

// Eight lanes: two sub-steps of the four tubes, for the work that does not
// depend on the sub-step before it. NEON's registers hold four floats, and
// the compiler keeps its own eight-lane vectors in memory there, moving every
// lane of a shuffle or a join through the stack one at a time: on AArch64
// eight lanes are two four-lane registers side by side, each operator done
// on both halves (engine/lane_ops.h), the same IEEE operation per lane.
#if defined(__aarch64__)
struct F32x8 {
    F32x4 low, high;
};
#else
typedef float F32x8 __attribute__((vector_size(32)));
typedef int32_t I32x8 __attribute__((vector_size(32)));
#endif
struct I32x4x2 {
    I32x4 low, high;
};

// Two double lanes, the width of an SSE2 or NEON register.
typedef double F64x2 __attribute__((vector_size(16)));
typedef int64_t I64x2 __attribute__((vector_size(16)));
typedef uint64_t U64x2 __attribute__((vector_size(16)));

// Everything on lanes is static and forced inline: the headers are included
// by translation units built for different instruction sets, and no copy
// built for one may be linked into a caller built for another.
#define LANE_INLINE static inline __attribute__((always_inline))
