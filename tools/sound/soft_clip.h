#pragma once

#include <vector>

#include "tube_host.h"

// The output limiter, measured through the plug-in: the loops themselves are
// linear, so a hit scaled up rings exactly as the small one scaled, and what
// the output gives away against that is the limiter's doing.

struct ClipLevel {
    double peak_dbfs = 0.0;     // of the ringing before the limiter
    double peak_bend = 0.0;     // 1 - output / linear, at the loudest sample
    double ringing_bend = 0.0;  // rms of the difference / rms of the linear ringing
};
struct ClipCurve {
    std::vector<double> linear, output;  // pairs: the limiter's input and output
    std::vector<ClipLevel> levels;
    // The largest distance of any output sample from d / sqrt(1 + d^2) of its
    // linear value d, relative to the peak of its ringing.
    double largest_formula_error = 0.0;
};
ClipCurve measure_soft_clip(HostWorld& host);
