#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Measurements the real-host tests make on rendered audio: enough to tell
// whether a tube rings, and at which pitch.

// The frequency of a MIDI note in equal temperament, 69 being 440 Hz.
double note_frequency(double note);

// Distance between two frequencies in cents (hundredths of a semitone).
double cents(double frequency, double reference);

// The frequency at which a tube rings, worked out from its loop alone: a
// delay of `length` sub-steps at a host rate of `sample_rate`, less the read
// point's lead over the read position (3 sub-steps and the modulation's mean
// of 2.25); the feedback gain the decay control gives; and the filters in
// the loop, the 20 Hz high-pass and the DC blocker (both designed for 48 kHz
// but running at four times the host's rate, so they lead the phase and
// raise the pitch, by over a semitone at middle C) and the damping low-pass.
// It is the maximum of the loop's response in the band of its first period.
double tube_resonance(double length, double sample_rate, double decay_ms, double damping_hz);

// The length in sub-steps the plug-in gives a note at a host rate.
double tube_length(double note, double sample_rate);

// How a stretch of signal is windowed before its spectrum is taken: Hann for
// a stretch cut out of a longer sound, none (rectangular) for the whole of an
// impulse response that has died away within the stretch, whose spectrum is
// then exactly the tube's frequency response.
enum class Window { Hann, None };

// The strongest component between `low_hz` and `high_hz` of the frames
// [from, to) of `signal`, found to a twentieth of a hertz. `prominence`
// is its magnitude over the median magnitude of the band: a resonance stands
// far above it, a flat spectrum does not.
struct Peak {
    double frequency = 0.0;
    double prominence = 0.0;
    // The peak's own magnitude and the band's median, for comparing a peak
    // found in a narrow band against the floor of a wider one.
    double magnitude = 0.0;
    double floor = 0.0;
};
Peak spectral_peak(const std::vector<float>& signal, size_t from, size_t to, double sample_rate,
                   double low_hz, double high_hz, Window window = Window::Hann);

double rms(const std::vector<float>& signal, size_t from, size_t to);
bool all_finite(const std::vector<float>& signal);

// Reproducible white noise in [-amplitude, amplitude].
std::vector<float> white_noise(size_t frames, uint32_t seed, float amplitude);
