#pragma once

// Read speeds: the read position advances 0.9 per sub-step while the delay
// grows, 1.11 while it shrinks, and keeps pace with the writes otherwise.
// The glide itself is a step of the loop (glide_step, engine/sample_steps.h).
inline constexpr float SPEED_REST = 1.0f;
inline constexpr float SPEED_GROW = 0.9f;
inline constexpr float SPEED_SHRINK = 1.11f;
