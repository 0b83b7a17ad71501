#pragma once

// The fused multiply-add on 32-bit ARM's floating-point unit, one lane at a
// time: the vfma instruction where the build targets VFPv4, an exact
// emulation where it targets an earlier unit (Debian's armhf baseline is
// VFPv3-D16). The C library's fma is never called: without VFPv4 it is a
// software routine of a few hundred instructions.
//
// Translation units built for VFPv4 and for the baseline both include this
// header (the library picks one at load); everything here is static and
// forced inline, so that no copy built for one is linked into a caller built
// for the other. The emulation's rare careful cases are out of line in
// fma_arm.cpp, built for the baseline.

#if defined(__arm__)

#include <cstdint>

#include "engine/lanes.h"

namespace fma_arm {

// Where a sum in double may not narrow to the float the fused operation
// gives (the emulation below): the double's bits, as two 32-bit halves.
inline constexpr uint32_t BELOW_FLOAT = 0x1FFFFFFFu;  // a float's lost bits, of the low half
inline constexpr uint32_t MIDPOINT = 0x10000000u;     // half a float's last place there
inline constexpr uint32_t TINY_HIGH = 0x38100000u;    // the high half of 2^-126

#if defined(__ARM_FEATURE_FMA)

// The instruction with its operands in fixed places (c + a*b, a the first
// multiplicand), as AArch64's lanes use it: which NaN comes out when several
// operands are NaN depends on their places, which the compiler would
// otherwise choose.
LANE_INLINE float fused(float a, float b, float c)
{
    __asm__("vfma.f32 %0, %1, %2" : "+t"(c) : "t"(a), "t"(b));
    return c;
}

LANE_INLINE double fused(double a, double b, double c)
{
    __asm__("vfma.f64 %P0, %P1, %P2" : "+w"(c) : "w"(a), "w"(b));
    return c;
}

LANE_INLINE float fused_narrowed(double a, double b, double c)
{
    return static_cast<float>(fused(a, b, c));
}

#else

// Emulated. The product of two floats is exact in double, so a*b + c in
// double rounds once; that double narrows to the correctly rounded float
// unless it lies on a float midpoint (the first rounding may have made the
// tie) or is tiny enough that a float keeps fewer bits or flushes. Those rare
// sums take the exact path, rounded to odd (engine/fma_emulation.h), out of
// line. The test is made on the double's two 32-bit halves in the integer
// registers, within WINDOW units of the midpoint pattern:
//   low half:  (bits & 0x1FFFFFFF) == 0x10000000, the midpoint;
//   high half: 0 < (bits & 0x7FFFFFFF) <= 0x38100000, at most 2^-126.
// A NaN comes out as the double operations make it, the first NaN of a, b
// and c (the default NaN for inf*0): as the C library's software fma on this
// processor gives it. Where more than one operand is NaN, VFPv4's
// instruction would take c's first.
LANE_INLINE bool needs_care(double sum, uint32_t window)
{
    // Both halves in one move to two integer registers: taken from the
    // double's bits, each half was moved on its own, one more instruction
    // for every fused operation.
    uint32_t low, high;
    __asm__("vmov %0, %1, %P2" : "=r"(low), "=r"(high) : "w"(sum));
    const bool near_midpoint = (low & BELOW_FLOAT) - (MIDPOINT - window) <= 2 * window;
    const bool tiny = (high & 0x7FFFFFFFu) - 1u < TINY_HIGH;
    return near_midpoint | tiny;
}

float fused_careful(float a, float b, float c);
double fused_careful(double a, double b, double c);
float fused_narrowed_careful(double a, double b, double c);

// a*b + c of three widened floats, rounded once: the product is exact.
LANE_INLINE double wide_sum(double a, double b, double c)
{
    return a * b + c;
}

LANE_INLINE float fused(float a, float b, float c)
{
    const double sum = wide_sum(a, b, c);
    if (__builtin_expect(needs_care(sum, 0), 0)) {
        return fused_careful(a, b, c);
    }
    return static_cast<float>(sum);
}

LANE_INLINE double fused(double a, double b, double c)
{
    return fused_careful(a, b, c);
}

// a*b + c rounded once to double and narrowed to float, where b is a widened
// float (the DC blocker). With a split into a high part of 26 bits and the
// rest, a_high*b and a_low*b are exact, and (a_high*b + c) + a_low*b lies
// within two units in the last place of the exact value: it narrows to the
// same float unless it lies within a few units of a float midpoint (or is
// tiny), where the exact sum is taken.
inline constexpr uint32_t NARROWED_WINDOW = 8;

LANE_INLINE double narrowed_sum(double a, double b, double c)
{
    const double scaled = a * 134217729.0;  // 2^27 + 1: Veltkamp's split
    const double a_high = scaled - (scaled - a);
    const double a_low = a - a_high;
    return (a_high * b + c) + a_low * b;
}

LANE_INLINE float fused_narrowed(double a, double b, double c)
{
    const double sum = narrowed_sum(a, b, c);
    if (__builtin_expect(needs_care(sum, NARROWED_WINDOW), 0)) {
        return fused_narrowed_careful(a, b, c);
    }
    return static_cast<float>(sum);
}

#endif

// Four lanes, one at a time: the unit has no vector form of either.
LANE_INLINE F32x4 fused(F32x4 a, F32x4 b, F32x4 c)
{
    return F32x4{fused(a[0], b[0], c[0]), fused(a[1], b[1], c[1]), fused(a[2], b[2], c[2]),
                 fused(a[3], b[3], c[3])};
}

LANE_INLINE F64x4 fused(F64x4 a, F64x4 b, F64x4 c)
{
    return F64x4{fused(a[0], b[0], c[0]), fused(a[1], b[1], c[1]), fused(a[2], b[2], c[2]),
                 fused(a[3], b[3], c[3])};
}

LANE_INLINE F32x4 fused_narrowed(F64x4 a, F64x4 b, F64x4 c)
{
    return F32x4{fused_narrowed(a[0], b[0], c[0]), fused_narrowed(a[1], b[1], c[1]),
                 fused_narrowed(a[2], b[2], c[2]), fused_narrowed(a[3], b[3], c[3])};
}

}  // namespace fma_arm

#endif
