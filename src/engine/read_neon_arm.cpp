// The six-point read on NEON (engine/read_neon_arm.h). This file alone is
// built for NEON; it is only called where the processor has it.
#include "engine/read_neon_arm.h"

#if defined(__arm__)

#if !defined(__ARM_NEON)
#error "read_neon_arm.cpp is built for NEON"
#endif

#include <arm_neon.h>
#include <sys/auxv.h>

#include "engine/sample_steps.h"
#include "engine/tube_bank.h"

namespace {

// Four lanes in a NEON register, with the arithmetic the interpolation uses:
// quintic() below is the very template every other path runs.
struct NeonLanes {
    float32x4_t v;
};

// NEON gives the default NaN whatever the operands' places, and a NaN result
// is read again on the scalar unit, so the place-keeping sum is the plain one.
inline NeonLanes plus(NeonLanes a, NeonLanes b)
{
    return {vaddq_f32(a.v, b.v)};
}

inline NeonLanes operator-(NeonLanes a, NeonLanes b)
{
    return {vsubq_f32(a.v, b.v)};
}

inline NeonLanes operator*(NeonLanes a, NeonLanes b)
{
    return {vmulq_f32(a.v, b.v)};
}

inline NeonLanes operator*(NeonLanes a, float b)
{
    return {vmulq_n_f32(a.v, b)};
}

const bool HAS_NEON = (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;

// FPSCR: FZ (bit 24) and RMode (bits 22-23).
constexpr uint32_t FZ = 1u << 24;
constexpr uint32_t FZ_AND_RMODE = FZ | (3u << 22);

// The six points of four lanes, one row per lane at its own slot, transposed
// into p0..p5.
__attribute__((always_inline)) inline void six_points(const float* first_line, const int32_t index[4], NeonLanes (&p)[6])
{
    float32x4_t rows[4], shifted[4];
    for (int k = 0; k < 4; ++k) {
        const float* at = first_line + k * DELAY_STRIDE + index[k];
        rows[k] = vld1q_f32(at);
        shifted[k] = vld1q_f32(at + 2);
    }
    const float32x4x2_t r01 = vtrnq_f32(rows[0], rows[1]);
    const float32x4x2_t r23 = vtrnq_f32(rows[2], rows[3]);
    p[0].v = vcombine_f32(vget_low_f32(r01.val[0]), vget_low_f32(r23.val[0]));
    p[1].v = vcombine_f32(vget_low_f32(r01.val[1]), vget_low_f32(r23.val[1]));
    p[2].v = vcombine_f32(vget_high_f32(r01.val[0]), vget_high_f32(r23.val[0]));
    p[3].v = vcombine_f32(vget_high_f32(r01.val[1]), vget_high_f32(r23.val[1]));
    const float32x4x2_t s01 = vtrnq_f32(shifted[0], shifted[1]);
    const float32x4x2_t s23 = vtrnq_f32(shifted[2], shifted[3]);
    p[4].v = vcombine_f32(vget_high_f32(s01.val[0]), vget_high_f32(s23.val[0]));
    p[5].v = vcombine_f32(vget_high_f32(s01.val[1]), vget_high_f32(s23.val[1]));
}

__attribute__((always_inline)) inline float32x4_t read_four(const float* first_line, const int32_t index[4], const float f[4])
{
    NeonLanes p[6];
    six_points(first_line, index, p);
    return quintic(p[0], p[1], p[2], p[3], p[4], p[5], NeonLanes{vld1q_f32(f)}).v;
}

}  // namespace

bool neon_read_exact_here()
{
    uint32_t fpscr;
    __asm__ volatile("vmrs %0, fpscr" : "=r"(fpscr));
    return HAS_NEON && (fpscr & FZ_AND_RMODE) == FZ;
}

bool read_eight_neon(const float* first_line, const int32_t index[8], const float f[8],
                     float out[8])
{
    const float32x4_t low = read_four(first_line, index, f);
    const float32x4_t high = read_four(first_line, index + 4, f + 4);
    // A lane equals itself unless it is NaN.
    const uint32x4_t numbers = vandq_u32(vceqq_f32(low, low), vceqq_f32(high, high));
    const uint32x2_t half = vand_u32(vget_low_u32(numbers), vget_high_u32(numbers));
    if ((vget_lane_u32(half, 0) & vget_lane_u32(half, 1)) == 0) {
        return false;
    }
    vst1q_f32(out, low);
    vst1q_f32(out + 4, high);
    return true;
}

#endif
