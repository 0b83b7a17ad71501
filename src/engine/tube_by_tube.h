#pragma once

#include <cstdint>

#include "engine/tube_bank.h"

// Frames are taken in blocks of 16; within a block the tubes run one after
// another, each through all the block's frames. The order of the glide's log
// lines follows from it, and the lockstep engine keeps it.
inline constexpr uint32_t BLOCK_FRAMES = 16;

// Where the block after the one at `start` begins: never past frame_count,
// so a loop over blocks ends for every count a uint32_t holds (adding
// BLOCK_FRAMES to the last start would wrap past 2^32 - 16).
inline uint32_t next_block_start(uint32_t start, uint32_t frame_count)
{
    return frame_count - start < BLOCK_FRAMES ? frame_count : start + BLOCK_FRAMES;
}

// The tube-by-tube engine: each tube's sub-steps one scalar operation at a
// time, through the same steps as the lockstep engine (engine/sample_steps.h)
// on one lane. It is the engine the lockstep engine is proven against, and
// the engine on processors without one.
// Any input buffer may be the same as any output buffer: each block's inputs
// are read before any of its outputs is written.
void tube_by_tube_frames(TubeBank& bank, const float* const input[TUBE_COUNT],
                         float* const output[TUBE_COUNT], uint32_t frame_count);
