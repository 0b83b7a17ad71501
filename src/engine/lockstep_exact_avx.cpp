// The lockstep engine for x86-64 processors with AVX but without FMA3: every
// fused operation computed exactly without the instruction, as in
// lockstep_exact.cpp, with AVX's registers for the rest. Four doubles then fit
// one register, so each emulated fused step is one pass rather than two
// halves; and a frame that reads first makes its reads two sub-steps at a
// time in eight lanes, its frames overlapped, as with FMA3. Built for AVX
// (CMakeLists.txt) and only called where the processor has it.
#include "engine/lockstep.h"
#include "engine/lockstep_core.h"

#if !defined(LOCKSTEP_EXACT_AVX_BUILT) || !defined(__AVX__) || defined(__FMA__)
#error "lockstep_exact_avx.cpp is built with AVX and without FMA3, where flags promise neither"
#endif

void lockstep_frames_exact_avx(TubeBank& bank, const float* const input[TUBE_COUNT],
                               float* const output[TUBE_COUNT], uint32_t frame_count)
{
    lockstep::run_frames(bank, input, output, frame_count);
}
