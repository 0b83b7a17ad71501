#pragma once

#include "engine/tube.h"

// Read speeds: the read position advances 0.9 per sub-step while the delay
// grows, 1.11 while it shrinks, and keeps pace with the writes otherwise.
inline constexpr float SPEED_REST = 1.0f;
inline constexpr float SPEED_GROW = 0.9f;
inline constexpr float SPEED_SHRINK = 1.11f;

// The distance from the read position back to the write position, as the
// glide sees it after the write index has advanced.
uint64_t measured_length(const Tube& tube);

// Once per sub-step: takes up a pending length request, measures the length
// while gliding, and on arrival derives and logs the feedback for it.
void glide_update(Tube& tube);
