#pragma once

// Four lanes in a NEON register on 32-bit ARM, for the lockstep engine built
// for NEON (engine/lockstep_neon_arm.cpp, engine/lockstep_neon_fma_arm.cpp).
// The compiler will not do the vector extension's float arithmetic on NEON
// (NEON always flushes subnormals): it splits every operation into the
// floating-point unit's, moving each lane out through an integer register
// and back. Here each operation is the NEON instruction.
//
// NEON's single-precision arithmetic flushes subnormals and rounds to
// nearest, as the plug-in's mode makes the scalar unit do, so every result
// that is not NaN is the scalar unit's. A NaN differs: NEON gives the default
// NaN where the scalar unit passes an operand's on. The engine therefore
// only keeps what it computes here when no NaN came out (engine/
// lockstep_core.h), and NaN plays no part in these operations' forms.
//
// NEON has no double precision, no division and no square root: those are
// done on the scalar unit, whose single registers overlap the first eight
// NEON registers (q0 is s0..s3), so that a lane is read and written in place
// where the operand sits in a fixed NEON register.

#if defined(__arm__)

#if !defined(__ARM_NEON)
#error "lanes_neon_arm.h is for translation units built for NEON"
#endif

#include <arm_neon.h>

#include <cstdint>

#include "engine/fma_arm.h"
#include "engine/lanes.h"

struct NeonLanes {
    float32x4_t v;
    NeonLanes() = default;
    constexpr NeonLanes(float32x4_t lanes) : v(lanes) {}
    // The vector extension's four lanes are the same register.
    NeonLanes(F32x4 lanes) : v(reinterpret_cast<float32x4_t>(lanes)) {}
    F32x4 vector() const { return reinterpret_cast<F32x4>(v); }
};

LANE_INLINE NeonLanes same_as(NeonLanes, float x)
{
    return vdupq_n_f32(x);
}

LANE_INLINE NeonLanes operator+(NeonLanes a, NeonLanes b)
{
    return vaddq_f32(a.v, b.v);
}

LANE_INLINE NeonLanes operator+(NeonLanes a, float b)
{
    return vaddq_f32(a.v, vdupq_n_f32(b));
}

LANE_INLINE NeonLanes operator-(NeonLanes a, NeonLanes b)
{
    return vsubq_f32(a.v, b.v);
}

LANE_INLINE NeonLanes operator-(NeonLanes a, float b)
{
    return vsubq_f32(a.v, vdupq_n_f32(b));
}

// The instruction: the intrinsic is the vector extension's operator, split
// by the compiler as the comparisons below are.
LANE_INLINE NeonLanes operator-(NeonLanes a)
{
    float32x4_t r;
    __asm__("vneg.f32 %q0, %q1" : "=w"(r) : "w"(a.v));
    return r;
}

LANE_INLINE NeonLanes operator*(NeonLanes a, NeonLanes b)
{
    return vmulq_f32(a.v, b.v);
}

// A constant as a whole register, which the compiler keeps or loads as one
// (from the intrinsic of a multiply by a lane of a register, it builds the
// lane at every use; the six-point read's weights are multiplied by element
// through the instruction itself, HeldLane below).
LANE_INLINE NeonLanes operator*(NeonLanes a, float b)
{
    return vmulq_f32(a.v, vdupq_n_f32(b));
}

// A constant held in lane K of a register, so that a product by it is one
// multiply by element (the same product as by the constant in every lane)
// and four constants share one register. A multiply by element names a half
// of one of the first eight registers (d0-d15), which the constraint "t"
// asks for; a constant made again at every use costs a vdup.
template <int K>
struct HeldLane {
    float32x4_t lanes;
};

template <int K>
LANE_INLINE NeonLanes operator*(NeonLanes a, HeldLane<K> b)
{
    float32x4_t r;
    if constexpr (K < 2) {
        __asm__("vmul.f32 %q0, %q1, %e2[%c3]" : "=w"(r) : "w"(a.v), "t"(b.lanes), "i"(K));
    } else {
        __asm__("vmul.f32 %q0, %q1, %f2[%c3]" : "=w"(r) : "w"(a.v), "t"(b.lanes), "i"(K - 2));
    }
    return r;
}

// Four constants in a register the compiler may not see into: kept there
// rather than built again from the constant pool at every use.
LANE_INLINE float32x4_t held_lanes(float a, float b, float c, float d)
{
    float32x4_t x = {a, b, c, d};
    __asm__("" : "+t"(x));
    return x;
}

// The sum and product that elsewhere keep which NaN comes out: here no NaN
// is kept (see above).
LANE_INLINE NeonLanes plus(NeonLanes a, NeonLanes b)
{
    return a + b;
}

LANE_INLINE NeonLanes times(NeonLanes a, NeonLanes b)
{
    return a * b;
}

// The comparisons are written as the instructions: the intrinsics are the
// vector extension's operators, which the compiler splits into the scalar
// unit's, a lane at a time.
LANE_INLINE I32x4 operator<(NeonLanes a, NeonLanes b)
{
    uint32x4_t r;
    __asm__("vcgt.f32 %q0, %q1, %q2" : "=w"(r) : "w"(b.v), "w"(a.v));
    return reinterpret_cast<I32x4>(r);
}

LANE_INLINE I32x4 operator<(NeonLanes a, float b)
{
    return a < same_as(a, b);
}

LANE_INLINE I32x4 operator>=(NeonLanes a, NeonLanes b)
{
    uint32x4_t r;
    __asm__("vcge.f32 %q0, %q1, %q2" : "=w"(r) : "w"(a.v), "w"(b.v));
    return reinterpret_cast<I32x4>(r);
}

LANE_INLINE uint32x4_t numbers(NeonLanes a)
{
    uint32x4_t r;
    __asm__("vceq.f32 %q0, %q1, %q1" : "=w"(r) : "w"(a.v));
    return r;
}

LANE_INLINE NeonLanes select(I32x4 mask, NeonLanes a, NeonLanes b)
{
    return vbslq_f32(reinterpret_cast<uint32x4_t>(mask), a.v, b.v);
}

LANE_INLINE NeonLanes magnitude(NeonLanes x)
{
    return vabsq_f32(x.v);
}

// Truncation towards zero, as the scalar unit's conversion.
LANE_INLINE I32x4 to_index(NeonLanes x)
{
    return reinterpret_cast<I32x4>(vcvtq_s32_f32(x.v));
}

LANE_INLINE I32x4 to_count(NeonLanes x)
{
    return to_index(x);
}

// Whether any lane of the values seen was NaN: a NaN is the one value not
// equal to itself. Counts and flags hold no NaN.
struct NanWatch {
    uint32x4_t seen = vdupq_n_u32(0xFFFFFFFFu);
    void see(NeonLanes x) { seen = vandq_u32(seen, numbers(x)); }
    void see(I32x4) {}
    bool saw_nan() const
    {
        const uint32x2_t half = vand_u32(vget_low_u32(seen), vget_high_u32(seen));
        return (vget_lane_u32(half, 0) & vget_lane_u32(half, 1)) != 0xFFFFFFFFu;
    }
};

// ---- On the scalar unit, a lane at a time ----------------------------------

LANE_INLINE NeonLanes operator/(NeonLanes a, NeonLanes b)
{
    register float32x4_t x __asm__("q0") = a.v;
    register float32x4_t y __asm__("q1") = b.v;
    register float32x4_t r __asm__("q2");
    __asm__(
        "vdiv.f32 s8, s0, s4\n\t"
        "vdiv.f32 s9, s1, s5\n\t"
        "vdiv.f32 s10, s2, s6\n\t"
        "vdiv.f32 s11, s3, s7"
        : "=w"(r)
        : "w"(x), "w"(y));
    const float32x4_t result = r;
    return result;
}

LANE_INLINE NeonLanes square_root(NeonLanes a)
{
    register float32x4_t x __asm__("q0") = a.v;
    register float32x4_t r __asm__("q1");
    __asm__(
        "vsqrt.f32 s4, s0\n\t"
        "vsqrt.f32 s5, s1\n\t"
        "vsqrt.f32 s6, s2\n\t"
        "vsqrt.f32 s7, s3"
        : "=w"(r)
        : "w"(x));
    const float32x4_t result = r;
    return result;
}

// Four doubles, one per lane, in the scalar unit's registers.
struct NeonWide {
    double l0, l1, l2, l3;
};

LANE_INLINE NeonWide widen(NeonLanes a)
{
    register float32x4_t x __asm__("q0") = a.v;
    NeonWide w;
    __asm__(
        "vcvt.f64.f32 %P0, s0\n\t"
        "vcvt.f64.f32 %P1, s1\n\t"
        "vcvt.f64.f32 %P2, s2\n\t"
        "vcvt.f64.f32 %P3, s3"
        : "=&w"(w.l0), "=&w"(w.l1), "=&w"(w.l2), "=&w"(w.l3)
        : "w"(x));
    return w;
}

LANE_INLINE NeonWide same_as(NeonWide, double x)
{
    return NeonWide{x, x, x, x};
}

LANE_INLINE NeonWide operator*(double a, NeonWide b)
{
    return NeonWide{a * b.l0, a * b.l1, a * b.l2, a * b.l3};
}

// The four doubles narrowed to floats. With `flagged`, whether any lane lies
// within `window` units of a float midpoint or is tiny (fma_arm::needs_care,
// the same test on four lanes of NEON's integer unit, which has no NaN).
LANE_INLINE NeonLanes narrow(const NeonWide& w, uint32_t window, bool& flagged)
{
    register double d16 __asm__("d16") = w.l0;
    register double d17 __asm__("d17") = w.l1;
    register double d18 __asm__("d18") = w.l2;
    register double d19 __asm__("d19") = w.l3;
    register float32x4_t r __asm__("q3");
    // The same registers as the doubles, as 32-bit halves.
    register uint32x4_t bits01 __asm__("q8");
    register uint32x4_t bits23 __asm__("q9");
    __asm__(
        "vcvt.f32.f64 s12, %P3\n\t"
        "vcvt.f32.f64 s13, %P4\n\t"
        "vcvt.f32.f64 s14, %P5\n\t"
        "vcvt.f32.f64 s15, %P6"
        : "=w"(r), "=w"(bits01), "=w"(bits23)
        : "w"(d16), "w"(d17), "w"(d18), "w"(d19));
    using fma_arm::MIDPOINT;
    using fma_arm::TINY_HIGH;
    // Shifted up by three, the bits of the low half below a float's last
    // place are the top 29; shifted up by one, the high half loses its sign.
    const uint32x4x2_t halves = vuzpq_u32(bits01, bits23);
    const uint32x4_t from_midpoint =
        vsubq_u32(vshlq_n_u32(halves.val[0], 3), vdupq_n_u32((MIDPOINT - window) << 3));
    const uint32x4_t near_midpoint = vcleq_u32(from_midpoint, vdupq_n_u32((2 * window) << 3));
    const uint32x4_t tiny = vcltq_u32(vsubq_u32(vshlq_n_u32(halves.val[1], 1), vdupq_n_u32(2)),
                                      vdupq_n_u32(TINY_HIGH << 1));
    const uint32x4_t either = vorrq_u32(near_midpoint, tiny);
    const uint32x2_t half = vorr_u32(vget_low_u32(either), vget_high_u32(either));
    flagged = (vget_lane_u32(half, 0) | vget_lane_u32(half, 1)) != 0;
    const float32x4_t result = r;
    return result;
}

// Without the test. The narrowing is written again rather than shared with
// the form above: handed out through references, the bits are copied out of
// the doubles' registers, 74 instructions a frame on the Cortex-A8.
LANE_INLINE NeonLanes narrow(const NeonWide& w)
{
    register double d16 __asm__("d16") = w.l0;
    register double d17 __asm__("d17") = w.l1;
    register double d18 __asm__("d18") = w.l2;
    register double d19 __asm__("d19") = w.l3;
    register float32x4_t r __asm__("q3");
    __asm__(
        "vcvt.f32.f64 s12, %P1\n\t"
        "vcvt.f32.f64 s13, %P2\n\t"
        "vcvt.f32.f64 s14, %P3\n\t"
        "vcvt.f32.f64 s15, %P4"
        : "=w"(r)
        : "w"(d16), "w"(d17), "w"(d18), "w"(d19));
    const float32x4_t result = r;
    return result;
}

// ---- Fused multiply-add ------------------------------------------------------

#if defined(__ARM_FEATURE_FMA)

// NEON's own, with VFPv4.
LANE_INLINE NeonLanes fused(NeonLanes a, NeonLanes b, NeonLanes c)
{
    return vfmaq_f32(c.v, a.v, b.v);
}

// By a constant. A negative one is subtracted as its magnitude, the same
// single rounding of the same exact sum, so that the loop filter's k and -k
// share one register: the compiler builds each constant again at every
// sub-step, a load and a vdup.
LANE_INLINE NeonLanes fused_by(float k, NeonLanes b, NeonLanes c)
{
    if (k < 0.0f) {
        return vfmsq_f32(c.v, b.v, vdupq_n_f32(-k));
    }
    return vfmaq_f32(c.v, vdupq_n_f32(k), b.v);
}

LANE_INLINE NeonLanes fused_narrowed(NeonWide a, NeonWide b, NeonWide c)
{
    return narrow(NeonWide{fma_arm::fused(a.l0, b.l0, c.l0), fma_arm::fused(a.l1, b.l1, c.l1),
                           fma_arm::fused(a.l2, b.l2, c.l2), fma_arm::fused(a.l3, b.l3, c.l3)});
}

#else

// The scalar unit's emulation (engine/fma_arm.h), its common path on four
// lanes at once; where a lane needs care, all four take the scalar path.
NeonLanes fused_lane_by_lane(NeonLanes a, NeonLanes b, NeonLanes c);
NeonLanes fused_narrowed_lane_by_lane(const NeonWide& a, const NeonWide& b, const NeonWide& c);

// x is a, widened.
LANE_INLINE NeonLanes fused_widened(const NeonWide& x, NeonLanes a, NeonLanes b, NeonLanes c)
{
    using fma_arm::wide_sum;
    const NeonWide y = widen(b), z = widen(c);
    bool flagged;
    const NeonLanes r = narrow(NeonWide{wide_sum(x.l0, y.l0, z.l0), wide_sum(x.l1, y.l1, z.l1),
                                        wide_sum(x.l2, y.l2, z.l2), wide_sum(x.l3, y.l3, z.l3)},
                               0, flagged);
    if (__builtin_expect(flagged, 0)) {
        return fused_lane_by_lane(a, b, c);
    }
    return r;
}

LANE_INLINE NeonLanes fused(NeonLanes a, NeonLanes b, NeonLanes c)
{
    return fused_widened(widen(a), a, b, c);
}

// By a constant: widened where the compiler sees it, not in the lanes at
// every use (widen is written as the instructions, which the compiler cannot
// fold).
LANE_INLINE NeonLanes fused_by(float k, NeonLanes b, NeonLanes c)
{
    return fused_widened(same_as(NeonWide{}, k), same_as(b, k), b, c);
}

LANE_INLINE NeonLanes fused_narrowed(NeonWide a, NeonWide b, NeonWide c)
{
    using fma_arm::narrowed_sum;
    bool flagged;
    const NeonLanes r =
        narrow(NeonWide{narrowed_sum(a.l0, b.l0, c.l0), narrowed_sum(a.l1, b.l1, c.l1),
                        narrowed_sum(a.l2, b.l2, c.l2), narrowed_sum(a.l3, b.l3, c.l3)},
               fma_arm::NARROWED_WINDOW, flagged);
    if (__builtin_expect(flagged, 0)) {
        return fused_narrowed_lane_by_lane(a, b, c);
    }
    return r;
}

#endif

// Whether the floating-point unit is in the mode where NEON's results equal
// its own: flush to zero, round to nearest (FPSCR's FZ, bit 24, and RMode,
// bits 22-23). The mode is the caller's, so it is asked at every call.
LANE_INLINE bool neon_exact_here()
{
    uint32_t fpscr;
    __asm__ volatile("vmrs %0, fpscr" : "=r"(fpscr));
    return (fpscr & ((1u << 24) | (3u << 22))) == (1u << 24);
}

#endif
