#pragma once

#include <string>
#include <vector>

#include "companion_tuning.h"
#include "control_changes.h"
#include "first_log.h"
#include "measurements.h"
#include "soft_clip.h"
#include "vibrato.h"

// Turns the measurements into what docs/ holds: Markdown tables (into
// `docs`) and the data the plots are drawn from (into `data`, read by the
// gnuplot scripts next to this file). Each function returns the files it
// wrote.

struct Report {
    std::string docs;
    std::string data;
};

// The tuning table, the pitch each direction of glide ends at, and the weak
// lowest partials the table cannot show.
std::vector<std::string> write_tuning(const Report& report, const std::vector<TuningRow>& rows,
                                      const std::vector<GlideEnd>& glide_ends,
                                      const std::vector<WeakLowest>& weak);
// The companions' pitch in tune, as a section that follows the tuning tables.
std::vector<std::string> write_companion_tuning(const Report& report,
                                                const std::vector<CompanionPitch>& rows);
std::vector<std::string> write_decay(const Report& report, const std::vector<DecayCase>& cases);
std::vector<std::string> write_presets(const Report& report,
                                       const std::vector<PresetResult>& presets);

// The behaviours a user meets: the read position's slow movement, what a
// change of decay, of note or of preset does, the start-up glide, the
// output limiter, the log's first lines and the floating-point mode left by
// loading.
struct Behaviour {
    std::vector<VibratoAtRate> vibrato;
    std::vector<PartialSplit> splits;
    std::vector<HitPair> hit_pairs;
    PolarityResult polarity;
    std::vector<PresetChange> preset_changes;
    std::vector<GlideTime> glide_times;
    std::vector<GlideTrack> startup;
    std::vector<float> startup_hit;
    double startup_hit_rate = 0.0;
    ClipCurve clip;
    FirstLog first_log;
    FpModeChange mode;
};
std::vector<std::string> write_behaviour(const Report& report, const Behaviour& behaviour);
