// The lockstep engine for any x86-64: the baseline instruction set, with every
// fused operation computed exactly without the instruction.
#include "engine/lockstep.h"
#include "engine/lockstep_core.h"

#if defined(__FMA__) || defined(__AVX__)
#error "lockstep_exact.cpp is built for the baseline x86-64"
#endif

void lockstep_frames_exact(TubeBank& bank, const float* const input[TUBE_COUNT],
                           float* const output[TUBE_COUNT], uint32_t frame_count)
{
    lockstep::run_frames(bank, input, output, frame_count);
}
