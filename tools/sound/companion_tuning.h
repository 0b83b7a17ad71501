#pragma once

#include <vector>

#include "tube_host.h"

// The companions' pitch with their tuning control at In tune, measured
// through the mono companion as a host loads it: every tube on the same
// note, the tubes alone in the output (mix 100 %), one hit after the
// start-up glide, the spacing of partials 2 to 8 as for the four-channel
// plug-in's table.
//
// The read position's slow modulation sways the pitch of one hit around its
// centre, the more the higher the note: so each note is hit twice, half a
// modulation period apart, where the sway is opposite, and the centre is
// their mean.

struct CompanionPitch {
    double sample_rate = 0.0;
    double damping_hz = 0.0;
    double note = 0.0;
    double hit_cents[2] = {0.0, 0.0};  // each hit's spacing, cents from the note
    double centre_cents = 0.0;
    double lowest_cents = 0.0;  // the lowest partial of the first hit (NaN: none)
    // How far partial 2 of the first hit lies above twice the note, in the
    // note's frequencies (NaN: not found).
    double second_lift = 0.0;
    // The note's period exceeds the longest loop the tube has: it rings at
    // the lowest pitch it can make.
    bool out_of_reach = false;
};

inline constexpr double COMPANION_RATES[] = {44100.0, 48000.0, 96000.0};
inline constexpr double COMPANION_DAMPINGS[] = {3000.0, 12000.0, 20000.0};

// One note at one rate and damping.
CompanionPitch measure_companion_pitch(HostWorld& host, double sample_rate, double damping_hz,
                                       int note);

// Every note from 24 to 84 at each rate and damping above.
std::vector<CompanionPitch> measure_companion_tuning(HostWorld& host);
