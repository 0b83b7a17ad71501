#pragma once

#include "engine/tube.h"

// Read speeds: the read position advances 0.9 per sub-step while the delay
// grows, 1.11 while it shrinks, and keeps pace with the writes otherwise.
// The glide itself is a step of the loop (glide_step, engine/sample_steps.h).
inline constexpr float SPEED_REST = 1.0f;
inline constexpr float SPEED_GROW = 0.9f;
inline constexpr float SPEED_SHRINK = 1.11f;

// Where a glide in tune puts the read position: `distance` sub-steps behind
// the write slot `write_slot`, wrapped into a line of line_size slots. Every
// value involved is a whole number of 1/1024 sub-steps below 16384 (the
// longest line is LONG_DELAY_SIZE), so the difference is exact. A distance
// outside (0, line_size) lands nowhere: the read position stays.
inline float landing_position(float read_pos, float write_slot, float distance, float line_size)
{
    static_assert(LONG_DELAY_SIZE <= 16384, "a line's positions keep 1/1024 sub-steps exact");
    if (!(distance > 0.0f && distance < line_size)) {
        return read_pos;
    }
    const float position = write_slot - distance;
    return position < 0.0f ? position + line_size : position;
}
