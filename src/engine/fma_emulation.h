#pragma once

#include <cstdint>
#include <cstring>

#include "engine/lane_masks.h"
#include "engine/lane_ops.h"
#include "engine/lanes.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

// Fused multiply-add, a*b + c rounded once, computed exactly without the
// instruction: for the baseline x86-64, which has none, and for the tests
// everywhere.
//
// This header is included by translation units built for different
// instruction sets (the baseline x86-64 engine and the one built with FMA).
// Every function is static, and all but the rare paths always inlined, so
// that no copy built for one instruction set can be linked into a caller
// built for another.
//
// What the emulation gives, against the instruction:
// - every finite result bit for bit, in both the default mode and with
//   subnormals flushed (FTZ+DAZ on x86-64; AArch64 always has the
//   instruction, so there the emulation only serves tests): subnormal operands
//   read as zero there and tiny results flush, exactly as the instruction does,
//   because the emulation leaves those decisions to the same hardware
//   operations (the widening reads operands, the final rounding writes the
//   result);
// - a NaN result carries the payload (quietened) of b if it is NaN, else of a,
//   else of c; an invalid operation on non-NaN operands (inf*0, inf-inf) gives
//   the processor's default NaN. That is the x86-64 instruction in the form
//   the C library's fma uses there; the C library's software fma, on
//   processors without the instruction, prefers c's NaN instead.
// Single precision is exact for all operands. Double precision is exact when
// a, b and c are finite, |a| and |b| are below 2^995, a*b and c are each zero
// or between 2^-916 and 2^1022 in magnitude, and the result does not overflow
// (the DC blocker's operands lie far inside); outside that the product's
// low part could underflow or the split overflow. Non-finite operands give the
// instruction's result.

namespace fma_emulation {

// Anything that makes or uses a lane mask is written on halves of four
// lanes (F64x2): the compiler splits four-lane arithmetic into register
// halves by itself, but turns four-lane compares and selects on a baseline
// x86-64 into scalar code.

inline constexpr uint64_t SIGN64 = 0x8000000000000000ull;

LANE_INLINE F64x2 low_half(F64x4 x)
{
    return __builtin_shufflevector(x, x, 0, 1);
}

LANE_INLINE F64x2 high_half(F64x4 x)
{
    return __builtin_shufflevector(x, x, 2, 3);
}

LANE_INLINE F64x4 join(F64x2 low, F64x2 high)
{
    return __builtin_shufflevector(low, high, 0, 1, 2, 3);
}

// x + y and its rounding error, exactly: x + y = sum + error (Knuth's TwoSum,
// no condition on the order of magnitudes).
LANE_INLINE F64x4 two_sum(F64x4 x, F64x4 y, F64x4& error)
{
    const F64x4 sum = x + y;
    const F64x4 y_part = sum - x;
    error = (x - (sum - y_part)) + (y - y_part);
    return sum;
}

// The rounded-to-nearest sum turned into the sum rounded to odd: when inexact,
// take the neighbour towards zero of the exact value and set its last bit.
// The neighbour towards zero is sum itself when the error has the sum's sign,
// and the next value down in magnitude otherwise (one less in the bit
// pattern; when sum was odd, setting the last bit gives sum back).
// Rounding to odd keeps enough of the exact value that a later rounding to a
// narrower precision is correct: no midpoint of the narrower format is odd.
// |error| > 0 is false for a NaN, so lanes whose sum is not finite are left
// alone.
LANE_INLINE F64x2 round_to_odd(F64x2 sum, F64x2 error)
{
    const F64x2 error_size = (F64x2)((U64x2)error & ~SIGN64);
    const U64x2 inexact = (U64x2)(error_size > 0.0) & 1u;
    const U64x2 bits = (U64x2)sum;
    const U64x2 towards_zero = ((bits ^ (U64x2)error) >> 63) & inexact;
    return (F64x2)((bits - towards_zero) | inexact);
}

LANE_INLINE F64x4 round_to_odd(F64x4 sum, F64x4 error)
{
    return join(round_to_odd(low_half(sum), low_half(error)),
                round_to_odd(high_half(sum), high_half(error)));
}

// The NaN rule of the instruction in the form the C library's fma uses on
// x86-64 (vfmadd213, b*a + c): a NaN b, else a NaN a, else a NaN c, each
// quietened, else the default NaN an invalid operation makes (inf*0,
// inf-inf). Written out lane by lane because the compiler may swap the
// operands of a sum or a product, and with them which NaN comes out.
inline constexpr uint64_t QUIET64 = 0x0008000000000000ull;

LANE_INLINE F64x2 nan_rule(F64x2 result, F64x2 a, F64x2 b, F64x2 c)
{
    result = c != c ? (F64x2)((U64x2)c | QUIET64) : result;
    result = a != a ? (F64x2)((U64x2)a | QUIET64) : result;
    return b != b ? (F64x2)((U64x2)b | QUIET64) : result;
}

LANE_INLINE F64x4 nan_rule(F64x4 result, F64x4 a, F64x4 b, F64x4 c)
{
    return join(nan_rule(low_half(result), low_half(a), low_half(b), low_half(c)),
                nan_rule(high_half(result), high_half(a), high_half(b), high_half(c)));
}

LANE_INLINE double nan_rule(double result, double a, double b, double c)
{
    const double nan = b != b ? b : a != a ? a : c != c ? c : result;
    uint64_t bits;
    std::memcpy(&bits, &nan, sizeof bits);
    bits |= nan != nan ? QUIET64 : 0;
    std::memcpy(&result, &bits, sizeof bits);
    return result;
}
// Lanes where a*b + c is finite and a*b is not zero.
LANE_INLINE I64x2 in_domain(F64x2 plain, F64x2 product)
{
    const F64x2 size = (F64x2)((U64x2)plain & ~SIGN64);
    return (size < __builtin_inf()) & (product != 0.0);
}

// Which lanes of the widened sum need the careful path. The sum of the exact
// product and c, rounded to nearest double, narrows to the right float unless
//  - it sits exactly on a float midpoint (low 29 bits 1000...0), where the
//    first rounding may have made the tie; or
//  - it is nonzero and at most 2^-126 in magnitude, where a float keeps fewer
//    bits (subnormal results) or flushes, and the tininess of the sum and of
//    the exact value could differ; or
//  - the float result is NaN (inf*0 + NaN must give the addend's NaN).
// Each 32-bit half of a double is checked with one mask, one add and one
// signed compare, with other constants for the low and the high halves:
//   low:  (bits & 0x1FFFFFFF) == 0x10000000, as
//         (bits & 0x1FFFFFFF) + 0x70000000 < INT32_MIN + 1 (only the midpoint
//         wraps to the most negative value);
//   high: 0 < (bits & 0x7FFFFFFF) <= 0x38100000 (2^-126), as
//         (bits & 0x7FFFFFFF) + 0x7FFFFFFF < INT32_MIN + 0x38100000 (zero
//         becomes the largest positive value and fails).
// WINDOW widens the midpoint test to the patterns within WINDOW units of it
// (offset 0x70000000 + WINDOW, limit INT32_MIN + 1 + 2 WINDOW).
// On x86 the compare is written as the instruction: the compiler would
// otherwise split the two kinds of lane into scalar compares.
template <int32_t WINDOW>
LANE_INLINE bool near_midpoint_or_tiny(F64x4 sum, F32x4 narrowed)
{
    constexpr int32_t MID_OFFSET = 0x70000000 + WINDOW;
    constexpr int32_t MID_LIMIT = INT32_MIN + 1 + 2 * WINDOW;
    const I32x4 mask = {0x1FFFFFFF, 0x7FFFFFFF, 0x1FFFFFFF, 0x7FFFFFFF};
    const I32x4 offset = {MID_OFFSET, 0x7FFFFFFF, MID_OFFSET, 0x7FFFFFFF};
    const I32x4 limit = {MID_LIMIT, INT32_MIN + 0x38100000, MID_LIMIT, INT32_MIN + 0x38100000};
    const I32x4 low = (I32x4)__builtin_shufflevector(sum, sum, 0, 1);
    const I32x4 high = (I32x4)__builtin_shufflevector(sum, sum, 2, 3);
    const I32x4 low_key = (I32x4)((U32x4)(low & mask) + (U32x4)offset);
    const I32x4 high_key = (I32x4)((U32x4)(high & mask) + (U32x4)offset);
#if defined(__SSE2__)
    const I32x4 hit = (I32x4)_mm_or_si128(_mm_cmplt_epi32((__m128i)low_key, (__m128i)limit),
                                          _mm_cmplt_epi32((__m128i)high_key, (__m128i)limit));
#else
    const I32x4 hit = (low_key < limit) | (high_key < limit);
#endif
    return any_lane(hit | (narrowed != narrowed));
}

LANE_INLINE bool needs_care(F64x4 sum, F32x4 narrowed)
{
    return near_midpoint_or_tiny<0>(sum, narrowed);
}

// Veltkamp's split: x = high + low, each with at most 26 significant bits, so
// that products of parts are exact.
LANE_INLINE F64x4 split_high(F64x4 x)
{
    const F64x4 scaled = x * 134217729.0;  // 2^27 + 1
    return scaled - (scaled - x);
}

}  // namespace fma_emulation

// a*b + c rounded once to float, emulated. A product of two floats is exact in
// double, so only the sum rounds twice; rounded to odd in double, it then
// narrows to the correctly rounded float.
namespace fma_emulation {

LANE_INLINE F32x4 fused_rounded_to_odd(F32x4 a, F32x4 b, F32x4 c)
{
    const F64x4 wa = widen(a);
    const F64x4 wb = widen(b);
    const F64x4 wc = widen(c);
    F64x4 error;
    const F64x4 sum = two_sum(wa * wb, wc, error);
    return narrow(nan_rule(round_to_odd(sum, error), wa, wb, wc));
}

// The careful path out of line, so that the common path keeps nothing alive
// for it. Static like everything here: each translation unit has its own copy,
// built for its own instruction set.
static inline __attribute__((noinline, cold)) F32x4 fused_rounded_to_odd_cold(F32x4 a, F32x4 b,
                                                                              F32x4 c)
{
    return fused_rounded_to_odd(a, b, c);
}

}  // namespace fma_emulation

// Rounding to odd needs the sum's error, which only matters in the rare lanes
// needs_care finds, so the whole vector takes that path only when one turns
// up.
LANE_INLINE F32x4 fused_exact(F32x4 a, F32x4 b, F32x4 c)
{
    using namespace fma_emulation;
    const F64x4 sum = widen(a) * widen(b) + widen(c);
    const F32x4 result = narrow(sum);
    if (__builtin_expect(needs_care(sum, result), 0)) {
        return fused_rounded_to_odd_cold(a, b, c);
    }
    return result;
}

// a*b + c rounded once to double, emulated (Boldo and Melquiond): the exact
// product as high + low, the exact sum of c and the high part as high + low,
// the two low parts summed with rounding to odd, and one final rounding to
// nearest. Lanes where that does not hold take the plain a*b + c, which is
// right there: a zero product (the plain sum gives the sign of a zero result)
// and a result that is not finite (with the NaN rule applied).
LANE_INLINE F64x4 fused_exact(F64x4 a, F64x4 b, F64x4 c)
{
    using namespace fma_emulation;
    const F64x4 a_high = split_high(a);
    const F64x4 a_low = a - a_high;
    const F64x4 b_high = split_high(b);
    const F64x4 b_low = b - b_high;
    const F64x4 product_high = a * b;
    const F64x4 product_low =
        ((a_high * b_high - product_high) + a_high * b_low + a_low * b_high) + a_low * b_low;

    F64x4 sum_low;
    const F64x4 sum_high = two_sum(c, product_high, sum_low);
    F64x4 low_error;
    const F64x4 low = two_sum(sum_low, product_low, low_error);
    const F64x4 exact = sum_high + round_to_odd(low, low_error);

    const F64x4 plain = product_high + c;
    const I64x2 low_ok = in_domain(low_half(plain), low_half(product_high));
    const I64x2 high_ok = in_domain(high_half(plain), high_half(product_high));
    if (__builtin_expect(all_lanes(low_ok, high_ok), 1)) {
        return exact;
    }
    const F64x4 careful = nan_rule(plain, a, b, c);
    return join(low_ok ? low_half(exact) : low_half(careful),
                high_ok ? high_half(exact) : high_half(careful));
}

// a*b + c rounded once to double and then narrowed to float, as the DC
// blocker needs it. Emulated, the double result matters only through the
// float it narrows to, so a cheaper sum does: with a split into high + low
// parts, a_high*b and a_low*b are exact (b is a widened float), and
// (a_high*b + c) + a_low*b lies within two units in the last place of the
// exact value. It narrows to the same float as the correctly rounded double
// unless it lies within a few units of a float midpoint (or is tiny, or
// NaN): those rare lanes take the exact sum.
namespace fma_emulation {

// As needs_care, with a window of 8 units around the midpoint pattern.
LANE_INLINE bool near_float_midpoint(F64x4 sum, F32x4 narrowed)
{
    return near_midpoint_or_tiny<8>(sum, narrowed);
}

static inline __attribute__((noinline, cold)) F32x4 fused_narrowed_cold(F64x4 a, F64x4 b,
                                                                        F64x4 c)
{
    return narrow(fused_exact(a, b, c));
}

}  // namespace fma_emulation

LANE_INLINE F32x4 fused_narrowed_exact(F64x4 a, F64x4 b, F64x4 c)
{
    using namespace fma_emulation;
    const F64x4 a_high = split_high(a);
    const F64x4 a_low = a - a_high;
    const F64x4 sum = (a_high * b + c) + a_low * b;
    const F32x4 result = narrow(sum);
    if (__builtin_expect(near_float_midpoint(sum, result), 0)) {
        return fused_narrowed_cold(a, b, c);
    }
    return result;
}

// One lane of each, for scalar code and for tests: the same steps on plain
// numbers, always taking the careful path.
LANE_INLINE float fused_exact(float a, float b, float c)
{
    using namespace fma_emulation;
    const double wa = a;
    const double wb = b;
    const double wc = c;
    const double product = wa * wb;
    const double sum = product + wc;
    const double y_part = sum - product;
    const double error = (product - (sum - y_part)) + (wc - y_part);
    uint64_t bits;
    std::memcpy(&bits, &sum, sizeof bits);
    uint64_t error_bits;
    std::memcpy(&error_bits, &error, sizeof error_bits);
    const uint64_t inexact = (error < 0 || error > 0) ? 1 : 0;
    bits = (bits - (((bits ^ error_bits) >> 63) & inexact)) | inexact;
    double odd;
    std::memcpy(&odd, &bits, sizeof odd);
    return static_cast<float>(nan_rule(odd, wa, wb, wc));
}

LANE_INLINE double fused_exact(double a, double b, double c)
{
    const F64x4 r = fused_exact(F64x4{a, 0, 0, 0}, F64x4{b, 0, 0, 0}, F64x4{c, 0, 0, 0});
    return r[0];
}
