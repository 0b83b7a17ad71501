#pragma once

#include <string>
#include <vector>

#include "measurements.h"

// Turns the measurements into what docs/ holds: Markdown tables (into
// `docs`) and the data the plots are drawn from (into `data`, read by the
// gnuplot scripts next to this file). Each function returns the files it
// wrote.

struct Report {
    std::string docs;
    std::string data;
};

std::vector<std::string> write_tuning(const Report& report, const std::vector<TuningRow>& rows);
std::vector<std::string> write_decay(const Report& report, const std::vector<DecayCase>& cases);
std::vector<std::string> write_presets(const Report& report,
                                       const std::vector<PresetResult>& presets);

// The behaviours a user meets once: the polarity flip after a change of
// decay, the start-up glide, and the floating-point mode left by loading.
std::vector<std::string> write_behaviour(const Report& report, const PolarityResult& polarity,
                                         const std::vector<GlideTrack>& glides,
                                         const std::vector<float>& hit, double hit_rate,
                                         const FpModeChange& mode);
