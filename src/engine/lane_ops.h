#pragma once

// Operations on lanes that the vector extension does not spell by itself:
// broadcasts, row loads, masks, conversions, transposes, and the halves of
// eight lanes. Each is a move or a bit operation, or an IEEE operation lane
// by lane.
//
// The loop's steps (engine/sample_steps.h) are written once for every lane
// type, one float as well as four or eight lanes, so each operation they use
// also has its one-lane form here, giving the same bits as the lanes.

#include <cmath>
#include <cstdint>

#include "engine/lane_masks.h"
#include "engine/lanes.h"

#if defined(__AVX__)
#include <immintrin.h>
#elif defined(__SSE__)
#include <xmmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

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

// A constant in the shape of `like`: one value, or the same in every lane.
LANE_INLINE float same_as(float, float x)
{
    return x;
}

LANE_INLINE F32x4 same_as(F32x4, float x)
{
    return splat(x);
}

#if defined(__aarch64__)
// The operators of eight lanes held as two halves (engine/lanes.h): each is
// the four-lane operator on the low half and on the high half.
LANE_INLINE F32x8 operator+(F32x8 a, F32x8 b)
{
    return F32x8{a.low + b.low, a.high + b.high};
}

LANE_INLINE F32x8 operator-(F32x8 a, F32x8 b)
{
    return F32x8{a.low - b.low, a.high - b.high};
}

LANE_INLINE F32x8 operator*(F32x8 a, F32x8 b)
{
    return F32x8{a.low * b.low, a.high * b.high};
}

LANE_INLINE F32x8 operator*(F32x8 a, float b)
{
    return F32x8{a.low * b, a.high * b};
}

LANE_INLINE F32x8 same_as(F32x8, float x)
{
    return F32x8{splat(x), splat(x)};
}

// A constant held in lane K of a register, so that a product by it is one
// multiply by element (the same IEEE product as by the constant in every
// lane) and several constants share one register.
template <int K>
struct HeldConstant {
    F32x4 lanes;
};

// The multiply by element is written as the instruction: from the
// intrinsic, the compiler made each lane a register of its own once per call
// (every constant in every lane again) and sent most of them to the stack,
// to load them back in the frame (counted under qemu: 459.8 instructions a
// frame at rest against 472.1, 487.7 against 500.7 gliding). The constant
// is the second operand, as in the intrinsic, and never NaN: a NaN product
// is a's NaN either way.
template <int K>
LANE_INLINE F32x4 operator*(F32x4 a, HeldConstant<K> b)
{
    float32x4_t product;
    __asm__("fmul %0.4s, %1.4s, %2.s[%3]"
            : "=w"(product)
            : "w"((float32x4_t)a), "w"((float32x4_t)b.lanes), "i"(K));
    return (F32x4)product;
}

template <int K>
LANE_INLINE F32x8 operator*(F32x8 a, HeldConstant<K> b)
{
    return F32x8{a.low * b, a.high * b};
}

// A value the compiler may not see into: kept in a register it cannot
// recompute, rather than loaded again from the constant pool at every use.
LANE_INLINE F32x4 held(F32x4 x)
{
    __asm__("" : "+w"(x));
    return x;
}

LANE_INLINE float* held(float* x)
{
    __asm__("" : "+r"(x));
    return x;
}
#else
LANE_INLINE F32x8 same_as(F32x8, float x)
{
    return F32x8{x, x, x, x, x, x, x, x};
}
#endif

LANE_INLINE double same_as(double, double x)
{
    return x;
}

LANE_INLINE F64x4 same_as(F64x4, double x)
{
    return splat(x);
}

LANE_INLINE uint64_t same_as(uint64_t, uint64_t x)
{
    return x;
}

LANE_INLINE uint32_t same_as(uint32_t, uint64_t x)
{
    return static_cast<uint32_t>(x);
}

LANE_INLINE I32x4 same_as(I32x4, uint64_t x)
{
    return splat(static_cast<int32_t>(x));
}

// One lane of a value; a single value is its own only lane.
LANE_INLINE float lane(float x, int)
{
    return x;
}

LANE_INLINE uint64_t lane(uint64_t x, int)
{
    return x;
}

LANE_INLINE uint32_t lane(uint32_t x, int)
{
    return x;
}

LANE_INLINE bool lane(bool x, int)
{
    return x;
}

LANE_INLINE float lane(F32x4 x, int k)
{
    return x[k];
}

LANE_INLINE int32_t lane(I32x4 x, int k)
{
    return x[k];
}

LANE_INLINE void set_lane(float& x, int, float value)
{
    x = value;
}

LANE_INLINE void set_lane(F32x4& x, int k, float value)
{
    x[k] = value;
}

template <class V>
inline constexpr int LANE_COUNT = sizeof(V) / sizeof(float);

// Lane masks: a compare of one value gives a bool, of lanes a mask per lane.
LANE_INLINE bool any(bool mask)
{
    return mask;
}

LANE_INLINE bool any(I32x4 mask)
{
    return any_lane(mask);
}

LANE_INLINE bool both(bool a, bool b)
{
    return a && b;
}

LANE_INLINE I32x4 both(I32x4 a, I32x4 b)
{
    return a & b;
}

LANE_INLINE bool either(bool a, bool b)
{
    return a || b;
}

LANE_INLINE I32x4 either(I32x4 a, I32x4 b)
{
    return a | b;
}

LANE_INLINE bool inverse(bool a)
{
    return !a;
}

LANE_INLINE I32x4 inverse(I32x4 a)
{
    return ~a;
}

// A branch of the algorithm: c ? a : b, of a bool for one tube, of a lane
// mask for four.
LANE_INLINE float select(bool c, float a, float b)
{
    return c ? a : b;
}

LANE_INLINE F32x4 select(I32x4 c, F32x4 a, F32x4 b)
{
    return c ? a : b;
}

// Conversions: truncation towards zero into a lane index, and back.
LANE_INLINE int32_t to_index(float x)
{
    return static_cast<int32_t>(x);
}

LANE_INLINE I32x4 to_index(F32x4 x)
{
    return __builtin_convertvector(x, I32x4);
}

LANE_INLINE float to_real(int32_t x)
{
    return static_cast<float>(x);
}

LANE_INLINE F32x4 to_real(I32x4 x)
{
    return __builtin_convertvector(x, F32x4);
}

// A count from a position (truncated) and back, in the count type of the
// record (64 bits) or of the lanes (32 bits).
LANE_INLINE uint64_t to_count(float x)
{
    return static_cast<uint64_t>(static_cast<int64_t>(x));
}

LANE_INLINE I32x4 to_count(F32x4 x)
{
    return to_index(x);
}

LANE_INLINE float to_real(uint64_t x)
{
    return static_cast<float>(x);
}

// Widening and narrowing between float and double lanes: one instruction
// each where the build has AVX (the compiler's generic conversion goes
// through memory there).
LANE_INLINE double widen(float x)
{
    return x;
}

LANE_INLINE F64x4 widen(F32x4 x)
{
#if defined(__AVX__)
    return (F64x4)_mm256_cvtps_pd((__m128)x);
#else
    return __builtin_convertvector(x, F64x4);
#endif
}

LANE_INLINE F32x4 narrow(F64x4 x)
{
#if defined(__AVX__)
    return (F32x4)_mm256_cvtpd_ps((__m256d)x);
#else
    return __builtin_convertvector(x, F32x4);
#endif
}

LANE_INLINE F32x4 load(const float* p)
{
#if defined(__arm__) && !defined(__ARM_NEON)
    // Without NEON four lanes are four of the scalar unit's registers. Copied
    // as sixteen bytes, the row went through four integer registers and the
    // stack before each lane was loaded into its own (3,646 instructions a
    // frame at rest on qemu's Cortex-R5F against 3,595 lane by lane).
    return F32x4{p[0], p[1], p[2], p[3]};
#else
    F32x4 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
#endif
}

LANE_INLINE float magnitude(float x)
{
    return std::fabs(x);
}

LANE_INLINE F32x4 magnitude(F32x4 x)
{
    return (F32x4)((I32x4)x & splat(0x7FFFFFFF));
}

LANE_INLINE float square_root(float x)
{
    return std::sqrt(x);
}

LANE_INLINE F32x4 square_root(F32x4 x)
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
#if defined(__aarch64__)
    return F32x8{low, high};
#elif defined(__AVX__)
    return (F32x8)_mm256_insertf128_ps(_mm256_castps128_ps256((__m128)low), (__m128)high, 1);
#else
    F32x8 both;
    __builtin_memcpy(&both, &low, sizeof low);
    __builtin_memcpy(reinterpret_cast<char*>(&both) + sizeof low, &high, sizeof high);
    return both;
#endif
}

// Eight lane indices stay two vectors of four: each half is used on its own
// (the baseline x86-64 has no eight-lane integer operations).
LANE_INLINE I32x4x2 join(I32x4 low, I32x4 high)
{
    return I32x4x2{low, high};
}

LANE_INLINE F32x8 join(const float* low, const float* high)
{
    return join(load(low), load(high));
}

// Rows of four slots at two places and the rows after them: low and high
// joined into `row`, low + 4 and high + 4 into `next`. On AArch64 one
// instruction loads both rows of a place.
LANE_INLINE void join_rows(const float* low, const float* high, F32x8& row, F32x8& next)
{
#if defined(__aarch64__)
    __asm__("ldp %q0, %q1, [%2]"
            : "=w"(row.low), "=w"(next.low)
            : "r"(low), "m"(*reinterpret_cast<const float(*)[8]>(low)));
    __asm__("ldp %q0, %q1, [%2]"
            : "=w"(row.high), "=w"(next.high)
            : "r"(high), "m"(*reinterpret_cast<const float(*)[8]>(high)));
#else
    row = join(low, high);
    next = join(low + 4, high + 4);
#endif
}

#if defined(__AVX__)
// Eight lanes of the read positions of two sub-steps (engine/lockstep_core.h):
// the same operations as on four lanes, on both sub-steps at once.
LANE_INLINE F32x8 select(I32x8 c, F32x8 a, F32x8 b)
{
    return c ? a : b;
}

LANE_INLINE I32x8 to_index(F32x8 x)
{
    return __builtin_convertvector(x, I32x8);
}

LANE_INLINE F32x8 to_real(I32x8 x)
{
    return __builtin_convertvector(x, F32x8);
}

LANE_INLINE F32x8 magnitude(F32x8 x)
{
    return (F32x8)_mm256_andnot_ps(_mm256_set1_ps(-0.0f), (__m256)x);
}
#endif

LANE_INLINE F32x4 low_half(F32x8 x)
{
#if defined(__aarch64__)
    return x.low;
#elif defined(__AVX__)
    return (F32x4)_mm256_castps256_ps128((__m256)x);
#else
    F32x4 half;
    __builtin_memcpy(&half, &x, sizeof half);
    return half;
#endif
}

LANE_INLINE F32x4 high_half(F32x8 x)
{
#if defined(__aarch64__)
    return x.high;
#elif defined(__AVX__)
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
#if defined(__aarch64__)
    transpose(r0.low, r1.low, r2.low, r3.low, c0.low, c1.low, c2.low, c3.low);
    transpose(r0.high, r1.high, r2.high, r3.high, c0.high, c1.high, c2.high, c3.high);
#else
    const F32x8 t0 = __builtin_shufflevector(r0, r1, 0, 8, 1, 9, 4, 12, 5, 13);
    const F32x8 t1 = __builtin_shufflevector(r2, r3, 0, 8, 1, 9, 4, 12, 5, 13);
    const F32x8 t2 = __builtin_shufflevector(r0, r1, 2, 10, 3, 11, 6, 14, 7, 15);
    const F32x8 t3 = __builtin_shufflevector(r2, r3, 2, 10, 3, 11, 6, 14, 7, 15);
    c0 = __builtin_shufflevector(t0, t1, 0, 1, 8, 9, 4, 5, 12, 13);
    c1 = __builtin_shufflevector(t0, t1, 2, 3, 10, 11, 6, 7, 14, 15);
    c2 = __builtin_shufflevector(t2, t3, 0, 1, 8, 9, 4, 5, 12, 13);
    c3 = __builtin_shufflevector(t2, t3, 2, 3, 10, 11, 6, 7, 14, 15);
#endif
}
