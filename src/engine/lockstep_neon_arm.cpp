// The lockstep engine on 32-bit ARM's NEON, for processors without VFPv4:
// the fused operations emulated on the floating-point unit
// (engine/lanes_neon_arm.h). This file alone is built for NEON; it is only
// called where the processor has it.
#include "engine/lockstep.h"
#include "engine/lockstep_core.h"

#if !defined(__arm__) || !defined(__ARM_NEON) || defined(__ARM_FEATURE_FMA)
#error "lockstep_neon_arm.cpp is built for NEON without VFPv4 on 32-bit ARM"
#endif

// The rare sums that need care, four lanes one at a time by the scalar
// emulation, which takes the careful path where a lane needs it.
NeonLanes fused_lane_by_lane(NeonLanes a, NeonLanes b, NeonLanes c)
{
    const F32x4 x = a.vector(), y = b.vector(), z = c.vector();
    return F32x4{fma_arm::fused(x[0], y[0], z[0]), fma_arm::fused(x[1], y[1], z[1]),
                 fma_arm::fused(x[2], y[2], z[2]), fma_arm::fused(x[3], y[3], z[3])};
}

NeonLanes fused_narrowed_lane_by_lane(const NeonWide& a, const NeonWide& b, const NeonWide& c)
{
    using fma_arm::fused_narrowed;
    return F32x4{fused_narrowed(a.l0, b.l0, c.l0), fused_narrowed(a.l1, b.l1, c.l1),
                 fused_narrowed(a.l2, b.l2, c.l2), fused_narrowed(a.l3, b.l3, c.l3)};
}

void lockstep_frames_neon(TubeBank& bank, const float* const input[TUBE_COUNT],
                          float* const output[TUBE_COUNT], uint32_t frame_count)
{
    lockstep::run_frames(bank, input, output, frame_count);
}
