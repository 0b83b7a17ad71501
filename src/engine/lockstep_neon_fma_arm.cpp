// The lockstep engine on 32-bit ARM's NEON with VFPv4: NEON's own fused
// multiply-add (engine/lanes_neon_arm.h). This file alone is built for NEON
// with VFPv4; it is only called where the processor has both.
#include "engine/lockstep.h"
#include "engine/lockstep_core.h"

#if !defined(__arm__) || !defined(__ARM_NEON) || !defined(__ARM_FEATURE_FMA)
#error "lockstep_neon_fma_arm.cpp is built for NEON with VFPv4 on 32-bit ARM"
#endif

void lockstep_frames_neon_fma(TubeBank& bank, const float* const input[TUBE_COUNT],
                              float* const output[TUBE_COUNT], uint32_t frame_count)
{
    lockstep::run_frames(bank, input, output, frame_count);
}
