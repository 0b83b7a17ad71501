#pragma once

#include <cstdint>

#include "engine/tube_bank.h"

// The path chooser: which engine carries the frames on this processor, chosen
// once when the library is loaded. It computes no sample itself.

// The ways the engine can run. They give the same bits; they differ in cost.
enum class EnginePath {
    TUBE_BY_TUBE,        // one tube at a time (engine/tube_by_tube.h)
    LOCKSTEP_EXACT,      // four lanes, fused operations done exactly in software
    LOCKSTEP_FMA,        // four lanes, fused operations in hardware
    LOCKSTEP_NEON,       // four lanes in NEON's registers (32-bit ARM)
    LOCKSTEP_EXACT_AVX,  // LOCKSTEP_EXACT in AVX's registers (x86-64 without FMA3)
};

inline constexpr EnginePath ENGINE_PATHS[] = {EnginePath::TUBE_BY_TUBE, EnginePath::LOCKSTEP_EXACT,
                                              EnginePath::LOCKSTEP_FMA, EnginePath::LOCKSTEP_NEON,
                                              EnginePath::LOCKSTEP_EXACT_AVX};

// Whether this processor can run the path (LOCKSTEP_FMA needs AVX and FMA3 on
// x86-64, VFPv4 on 32-bit ARM; LOCKSTEP_NEON needs 32-bit ARM with NEON;
// LOCKSTEP_EXACT_AVX needs x86-64 with AVX, and a build whose flags promise
// neither AVX nor FMA3).
bool engine_path_available(EnginePath path);

// The path the library chose when it was loaded: the fastest available one,
// unless the build pinned one.
EnginePath engine_path();

// Carries frame_count frames of the four input buffers through the tubes into
// the four output buffers, on the chosen path. Any input buffer may be the
// same as any output buffer.
void process_frames(TubeBank& bank, const float* const input[TUBE_COUNT],
                    float* const output[TUBE_COUNT], uint32_t frame_count);

// The same on a given path, which must be available.
void process_frames_on(EnginePath path, TubeBank& bank, const float* const input[TUBE_COUNT],
                       float* const output[TUBE_COUNT], uint32_t frame_count);
