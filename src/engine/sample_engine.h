#pragma once

#include <cstdint>

#include "engine/tube.h"

inline constexpr uint32_t BLOCK_FRAMES = 16;

// Carries frame_count frames of the four input buffers through the tubes into
// the four output buffers. Any input buffer may be the same as any output
// buffer: each block's inputs are read before any of its outputs is written.
void process_frames(TubeBank& bank, const float* const input[TUBE_COUNT],
                    float* const output[TUBE_COUNT], uint32_t frame_count);
