#pragma once

#include <string>
#include <vector>

#include "tube_host.h"

// The measurements behind docs/: each renders through the plug-in as a host
// does and returns plain records, which report.cpp turns into tables and
// plot data.

// How one tube rings after a hit, once its glide is over.
struct Ringing {
    double note = 0.0;             // note + transpose
    std::vector<double> partials;  // Hz; partials[0] (the lowest) may be NaN
    double spacing_hz = 0.0;       // slope over partials 2 to 8
    std::vector<double> t60;       // seconds, one per partial (NaN: not measurable)
    double energy_t60 = 0.0;       // seconds, the whole ringing
};

// What every measurement sets before it hits the tubes: the controls, then
// silence long enough for the start-up glide to end.
struct Setting {
    double sample_rate = 48000.0;
    double notes[TUBES] = {60, 64, 67, 72};
    double decay_ms = 1000.0;
    double damping_hz = 12000.0;
    std::string preset;  // URI; applied instead of the controls above
};

// Long enough for every start-up glide to end (they take up to about a
// quarter of a second) before a tube is hit.
inline constexpr double SETTLE_S = 0.5;
// Small enough that the output limiter stays linear (its error is below
// -120 dB at this level).
inline constexpr float HIT = 1e-3f;
extern const char* const NOTE_PORTS[TUBES];

// The same hit of HIT into every tube at frame `at` of `frames`.
Channels impulse(size_t frames, size_t at);
// Sets the controls of `setting`, or applies its preset.
void apply(TubeInstance& instance, const Setting& setting);
// The note a tube is asked for: its note control plus transpose.
double note_of(const TubeInstance& instance, int tube);
// How one impulse response rings: its partials (searched from the spacing
// it repeats at), their spacing, and with_decay, how long each rings.
Ringing ringing_of(const std::vector<float>& response, double sample_rate, double note,
                   bool with_decay, double max_hz, size_t max_count, size_t fft_size);

// Renders a hit into all four tubes after the start-up glide and measures
// each tube: partials up to max_hz (at most max_count), and with_decay, how
// long each rings.
std::vector<Ringing> ring(HostWorld& host, const Setting& setting, double seconds, bool with_decay,
                          double max_hz, size_t max_count);

// What the tables are measured with.
inline constexpr double TUNING_DECAY_MS = 1000.0;
inline constexpr double TUNING_SECONDS = 3.0;
inline constexpr double DECAY_NOTES[TUBES] = {36, 48, 60, 72};
inline constexpr double DECAY_MAX_HZ = 6000.0;
inline constexpr size_t DECAY_PARTIALS = 40;
// Long enough to see the slowest partial fall 45 dB, with a margin.
double render_seconds(double decay_ms);

struct TuningRow {
    double sample_rate;
    Ringing ringing;
};
// Every note from 24 to 84 at 44.1, 48 and 96 kHz (decay 1 s, damping 12 kHz).
std::vector<TuningRow> measure_tuning(HostWorld& host);

struct DecayCase {
    double decay_ms;
    double damping_hz;
    std::vector<Ringing> tubes;
};
// Decays of 100 ms, 1 s and 10 s with three dampings, on C2, C3, C4 and C5.
std::vector<DecayCase> measure_decay(HostWorld& host);

struct PresetResult {
    HostWorld::Preset preset;
    double decay_ms, damping_hz, level_db;
    std::vector<Ringing> tubes;
};
std::vector<PresetResult> measure_presets(HostWorld& host);

// A tube before a change of decay, after it, and after a note change.
struct PolarityResult {
    double note;
    double decay_ms;
    Ringing before, after, restored;
    double after_lowest_hz;  // lowest resonance after the change
    // Spectra (dB) of the three impulse responses up to a few partials.
    std::vector<double> frequency, before_db, after_db, restored_db;
};
PolarityResult measure_polarity(HostWorld& host);

// The loop delay of each tube of a new instance against time: clicks sent
// into its tubes from the first run on, each timed on its way out.
struct GlideTrack {
    double sample_rate;
    double decay_ms, click_period_s, settled_fraction;
    double notes[TUBES];
    std::vector<double> time;                   // when the click went in, s
    std::vector<std::vector<double>> pitch_hz;  // per tube: one over its delay
    double settled_s[TUBES];                    // from then on, at the final pitch
    double final_hz[TUBES];
};
std::vector<GlideTrack> measure_startup(HostWorld& host);

// A hit 10 ms after a new instance starts (the default chord, decay 1 s):
// tube 1's output, for a spectrogram.
std::vector<float> startup_hit(HostWorld& host, double& sample_rate);

// The loading thread's floating-point control register (x86: MXCSR) before
// and after lilv loads the library; `measured` is false where it cannot be
// read. Before loading, the thread is set to round upward, so that what
// the load replaces shows.
struct FpModeChange {
    bool measured = false;
    unsigned before = 0, after = 0;
};
FpModeChange measure_load_mode(HostWorld& host);

// The lowest resonance of a note whose lowest partial barely stands out of
// the loop's filter skirt: the strongest local maximum below partial 2, how
// far it rises over the lower of the dips beside it, and how long it rings
// (decay 1 s, damping 12 kHz, as the tuning table).
struct WeakLowest {
    double sample_rate = 0.0, note = 0.0;
    double hz = 0.0, over_floor_db = 0.0, t60 = 0.0;
};
std::vector<WeakLowest> measure_weak_lowest(HostWorld& host);
