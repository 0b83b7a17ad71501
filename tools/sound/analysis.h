#pragma once

#include <cstddef>
#include <vector>

// What tools/measure-sound measures on a tube's rendered impulse response:
// where its partials lie, how they are spaced, and how fast each one dies.
// Everything here works on plain sample vectors, so the estimators can be
// checked against synthetic signals whose answers are known.
//
// The spacing is measured here from what the plug-in renders, with a line
// fit of its own, and on purpose shares nothing with the model the engine
// tunes its tubes by (engine/in_tune.cpp), which fits partials 2 to 8 in the
// same way: the tables check the plug-in from outside, so a fault in the
// model shows up in them as a tube out of tune instead of being repeated.

// The frequency of a MIDI note in equal temperament, 69 being 440 Hz.
double note_hz(double note);

// Distance from `reference` to `frequency` in cents.
double cents(double frequency, double reference);

// Where the pulse of a click sent in at frame `sent` comes out: the largest
// output in (sent, until), refined between frames.
double arrival(const std::vector<float>& output, size_t sent, size_t until);

// The magnitude spectrum of frames [from, from + count) of `signal`, zero
// padded to `fft_size` (a power of two) for a fine grid. The stretch is an
// impulse response that starts at `from`, so only its end is tapered.
struct Spectrum {
    double bin_hz = 0.0;
    std::vector<double> magnitude;
};
Spectrum impulse_spectrum(const std::vector<float>& signal, size_t from, size_t count,
                          size_t fft_size, double sample_rate);

// The strongest local maximum of the spectrum strictly inside (low, high),
// refined between bins on the log magnitude; NaN when the band only rises or
// falls (no resonance there).
double peak_in(const Spectrum& spectrum, double low_hz, double high_hz);

// The frequency whose period is the strongest repetition of the signal
// (the peak of its autocorrelation) between 1/high_hz and 1/low_hz: the
// spacing of a tube's partials, whatever the note asked for. An inverted
// loop repeats only every second trip, so it gives half the spacing.
double repetition_hz(const Spectrum& spectrum, double low_hz, double high_hz);

// Partials 2, 3, ... of a tube whose pitch is near `guess_hz`, each found in a
// window around the place the partials found so far predict; partial 1 is
// found last, below partial 2, and is NaN when the loop has no resonance
// there, as is any partial further up that does not ring. Stops at `max_hz`,
// `max_count` partials, or three gaps in a row.
std::vector<double> find_partials(const Spectrum& spectrum, double guess_hz, double max_hz,
                                  size_t max_count);

// Least-squares line y = intercept + slope * x.
struct Line {
    double intercept = 0.0;
    double slope = 0.0;
};
Line fit_line(const std::vector<double>& x, const std::vector<double>& y);

// The spacing of partials first..last (1-based, inclusive): the slope of their
// frequencies against their numbers. It is the pitch the ear hears when the
// partials are evenly spaced but shifted as a whole.
double partial_spacing(const std::vector<double>& partials, size_t first, size_t last);

// Level in dB of the component at `frequency_hz` in the frames
// [from, from + window) under a Blackman-Harris window, whose side lobes
// (-92 dB) keep the neighbouring partials out.
double level_db(const std::vector<float>& signal, size_t from, size_t window, double frequency_hz,
                double sample_rate);

// The time one partial takes to fall by 60 dB, from a straight line fitted to
// its level (dB against time) between 5 and 45 dB below its peak, or over
// what the signal reaches of that range. `window` must span a few periods of
// the partials' spacing. NaN when less than 10 dB of fall can be seen.
struct Decay {
    double t60 = 0.0;        // seconds
    double fitted_db = 0.0;  // how much of the fall the line was fitted over
};
Decay partial_decay(const std::vector<float>& signal, size_t from, double frequency_hz,
                    size_t window, double sample_rate);

// The time the whole signal's energy takes to fall by 60 dB after `from`
// (backward-integrated energy, fitted between -5 and -35 dB): how long the
// ringing lasts to the ear, all partials together.
double energy_decay(const std::vector<float>& signal, size_t from, double sample_rate);

// The instantaneous frequency of the component near `frequency_hz`, read
// every `hop` frames from `from` to `until` through the same window as
// level_db: the turn of its phase from one window to the next. `window` must
// keep the neighbouring partials out, as for partial_decay.
struct FrequencyTrack {
    std::vector<double> time;  // seconds after `from`, at the middle of the two windows
    std::vector<double> hz;
    std::vector<double> db;  // its level, as level_db reads it
};
FrequencyTrack frequency_track(const std::vector<float>& signal, size_t from, size_t until,
                               size_t window, size_t hop, double frequency_hz, double sample_rate);

// A triangle wave fitted to a track that was read through a window of
// `window_s` seconds: the model is the triangle as the window sees it, so a
// long window does not blunt its peaks in the result. value = middle +
// half_swing * tri(t), tri sweeping -1..1..-1 once per period, at its top at
// `top_s` (within the first period).
struct TriangleFit {
    double period_s = 0.0;
    double top_s = 0.0;
    double middle = 0.0;
    double half_swing = 0.0;
    double residual_rms = 0.0;  // what the triangle leaves unexplained
};
TriangleFit fit_triangle(const std::vector<double>& time, const std::vector<double>& value,
                         double window_s, double min_period_s, double max_period_s);

// The frequencies of the local maxima of the spectrum within (low, high)
// that come within `within_db` of the strongest there, in rising order.
std::vector<double> peaks_in(const Spectrum& spectrum, double low_hz, double high_hz,
                             double within_db);
