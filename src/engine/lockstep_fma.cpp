// The lockstep engine with fused multiply-add instructions. On x86-64 this
// file alone is built for AVX and FMA3, on 32-bit ARM for VFPv4, and it is
// only called where the processor has them; on AArch64 NEON always has them.
#include "engine/lockstep.h"
#include "engine/lockstep_core.h"

#if defined(__x86_64__) && !(defined(__AVX__) && defined(__FMA__))
#error "lockstep_fma.cpp is built with AVX and FMA3 on x86-64"
#endif
#if defined(__arm__) && !defined(__ARM_FEATURE_FMA)
#error "lockstep_fma.cpp is built for VFPv4 on 32-bit ARM"
#endif

void lockstep_frames_fma(TubeBank& bank, const float* const input[TUBE_COUNT],
                         float* const output[TUBE_COUNT], uint32_t frame_count)
{
    lockstep::run_frames(bank, input, output, frame_count);
}
