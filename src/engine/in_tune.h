#pragma once

// The fractional loop length that puts a tube's pitch on its note: the
// distance, in sub-steps from the read position to the write index as the
// glide measures it, at which the spacing of the loop's partials 2 to 8 is
// the frequency of `note` (rounded to a whole note; 69 is 440 Hz), for a
// tube at sample_rate with the damping pole damping_coef and the decay
// decay_ms. The read position's modulation is taken at its mean.
//
// The distance is a whole number of 1/1024 sub-steps, clamped to
// [MIN_LENGTH, the longest length a line in tune holds at the rate] (a note
// out of the line's reach rings at the nearest pitch the tube makes); 0
// where there is no such distance: a non-finite argument, or a loop so
// lossy (the shortest decays with the lowest dampings) that it has no pitch
// to put anywhere.
float in_tune_distance(float note, float sample_rate, float damping_coef, float decay_ms);
