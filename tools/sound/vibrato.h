#pragma once

#include <vector>

#include "analysis.h"
#include "tube_host.h"

// The slow movement of every tube's read position: how fast it goes, how far
// it moves each note's pitch, what it does to the upper partials, and how it
// makes one hit differ from the next.

// One tube's pitch against time after a hit, read from one partial while
// it rings clearly (until 2.5 s after the hit at most).
struct VibratoTrack {
    double note = 0.0;
    double partial_hz = 0.0;  // the partial followed
    double spacing_hz = 0.0;  // of the tube's partials
    double window_s = 0.0;    // the window it was read through
    FrequencyTrack track;
    TriangleFit fit;
    double cents_peak_to_peak = 0.0;  // of the fitted triangle
};

struct VibratoAtRate {
    double sample_rate = 0.0;
    std::vector<VibratoTrack> tubes;  // the four tubes of one instance
};
std::vector<VibratoAtRate> measure_vibrato(HostWorld& host);

// The spectrum of one partial of a high tube, rung for seconds: the vibrato
// splits it into lines a vibrato rate apart.
struct PartialSplit {
    double note = 0.0;
    double partial_hz = 0.0;
    std::vector<double> lines_hz;  // within SPLIT_WITHIN_DB of the strongest
    std::vector<double> frequency, db;
};
inline constexpr double SPLIT_WITHIN_DB = 20.0;
std::vector<PartialSplit> measure_partial_split(HostWorld& host);

// Two instances hit alike but one `shift` later: how far apart their
// responses lie (energy of the difference against the response's, in dB).
struct HitPair {
    double note = 0.0;
    double shift_s = 0.0;
    double difference_db = 0.0;
};
std::vector<HitPair> measure_hit_pairs(HostWorld& host, double vibrato_period_s);
