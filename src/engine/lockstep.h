#pragma once

#include <cstdint>

#include "engine/tube_bank.h"

// The lockstep engine (engine/lockstep_core.h), once per instruction set.
// Each gives bit for bit what tube_by_tube_frames gives.

#if defined(__x86_64__) || defined(__aarch64__) || defined(__arm__)
// Fused multiply-add in hardware: x86-64 with AVX and FMA3, or 32-bit ARM
// with VFPv4 (call only where the processor has them), or AArch64 with NEON.
void lockstep_frames_fma(TubeBank& bank, const float* const input[TUBE_COUNT],
                         float* const output[TUBE_COUNT], uint32_t frame_count);
#endif

// Built where a processor without FMA may run the library: on x86-64 and
// 32-bit ARM unless the build's flags already promise FMA (then every object
// needs it, and the build leaves lockstep_exact.cpp out).
#if (defined(__x86_64__) && !defined(__FMA__)) || (defined(__arm__) && !defined(__ARM_FEATURE_FMA))
#define LOCKSTEP_EXACT_BUILT 1
#endif

#if defined(LOCKSTEP_EXACT_BUILT)
// Any x86-64 or 32-bit ARM: the fused operations computed exactly without the
// instruction.
void lockstep_frames_exact(TubeBank& bank, const float* const input[TUBE_COUNT],
                           float* const output[TUBE_COUNT], uint32_t frame_count);
#endif

#if defined(LOCKSTEP_EXACT_AVX_BUILT)
// x86-64 with AVX but without FMA3 (call only where the processor has AVX):
// the same emulation in AVX's registers. The build defines
// LOCKSTEP_EXACT_AVX_BUILT where its flags promise neither AVX nor FMA3 (with
// AVX promised, lockstep_exact.cpp is already built for it).
void lockstep_frames_exact_avx(TubeBank& bank, const float* const input[TUBE_COUNT],
                               float* const output[TUBE_COUNT], uint32_t frame_count);
#endif

#if defined(__arm__)
// 32-bit ARM with NEON (call only where the processor has it): NEON's fused
// multiply-add where the processor also has VFPv4, and where it may not, the
// emulation (built where the baseline's exact path is).
void lockstep_frames_neon_fma(TubeBank& bank, const float* const input[TUBE_COUNT],
                              float* const output[TUBE_COUNT], uint32_t frame_count);
#if defined(LOCKSTEP_EXACT_BUILT)
void lockstep_frames_neon(TubeBank& bank, const float* const input[TUBE_COUNT],
                          float* const output[TUBE_COUNT], uint32_t frame_count);
#endif
#endif
