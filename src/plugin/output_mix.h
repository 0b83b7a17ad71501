#pragma once

#include <cstdint>

#include "engine/tube.h"

// How a companion's stereo output is made from the dry input and the four
// tubes.
//
// Width places the tubes: at 100 % tube 1 sits at 60 % of the way from the
// centre to the left, tube 3 at 30 % left, tube 4 at 30 % right and tube 2 at
// 60 % right; at a smaller width every offset shrinks in proportion, and at
// 0 % all four sit in the centre. A position p (-1 left .. +1 right) is an
// equal-power angle a = pi/4 (1 + p), left gain cos a, right gain sin a. No
// tube goes beyond 60 %, so each reaches the left output with at least
// cos 72 degrees = 0.31 of its full gain (7 dB below its gain in the centre):
// a host that keeps only the left output of a mono track still hears every
// tube.
//
// The four tubes are summed at half their gain, so that four tubes ringing
// at full scale, uncorrelated, sum to about full scale in power.
//
// Mix m (0..1) balances dry and wet: the dry gain is min(1, 2 (1 - m)), the
// wet gain min(1, 2 m). At 50 % both are whole: the input passes untouched
// and the tubes are added at full level, which is what an insert wants; 0 %
// is the input alone and 100 % the tubes alone.

inline constexpr double WIDEST_OFFSET[TUBE_COUNT] = {-0.6, 0.6, -0.3, 0.3};
inline constexpr double WET_TRIM = 0.5;

struct OutputMix {
    float tube_left[TUBE_COUNT];
    float tube_right[TUBE_COUNT];
    float dry;
    float wet;
};

// The gains for width and mix, both in percent within 0..100.
OutputMix output_mix(float width_percent, float mix_percent);

// Writes frame_count frames of the outputs. The dry inputs are read before
// either output is written at each frame, so any output may be the very
// buffer of any input.
void mix_frames(const OutputMix& mix, const float* dry_left, const float* dry_right,
                const float* const tubes[TUBE_COUNT], float* out_left, float* out_right,
                uint32_t frame_count);
