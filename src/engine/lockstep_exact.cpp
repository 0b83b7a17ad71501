// The lockstep engine for any x86-64: the build's own instruction set, with
// every fused operation computed exactly without the instruction.
#include "engine/lockstep.h"
#include "engine/lockstep_core.h"

// Flags that promise FMA leave this file out of the build (CMakeLists.txt);
// any other instruction set they allow (AVX without FMA, say) is what the
// whole library then needs, this file included.
#if !defined(LOCKSTEP_EXACT_BUILT)
#error "lockstep_exact.cpp is only built where a processor without FMA may load the library"
#endif

void lockstep_frames_exact(TubeBank& bank, const float* const input[TUBE_COUNT],
                           float* const output[TUBE_COUNT], uint32_t frame_count)
{
    lockstep::run_frames(bank, input, output, frame_count);
}
