#include "spectrum.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace {
constexpr double PI = 3.14159265358979323846;
constexpr double FINE_STEP_HZ = 0.05;
}  // namespace

double note_frequency(double note)
{
    return 440.0 * std::pow(2.0, (note - 69.0) / 12.0);
}

double cents(double frequency, double reference)
{
    return 1200.0 * std::log2(frequency / reference);
}

double tube_length(double note, double sample_rate)
{
    const double length = std::round(4.0 * sample_rate / note_frequency(note));
    return std::clamp(length, 121.0, 5999.0);
}

double tube_resonance(double length, double sample_rate, double decay_ms, double damping_hz)
{
    const double substep_rate = 4.0 * sample_rate;
    // Measured length = distance + 1; the read point leads the read position
    // by 3 + 1.5 * (m + 1), m a triangle between 0 and 1; the read position's
    // fraction is unknown, 0.5 on average.
    const double delay = length - 1.0 + 0.5 - 3.0 - 1.5 * 1.5;
    const double feedback =
        std::min(0.99999, std::pow(0.001, length / (sample_rate * 0.001 * 4.0 * decay_ms)));
    const double highpass = 0.99738544;
    const double dc_pole = 0.9968707592884718;
    const double damping = std::exp(-0.0001308997 * damping_hz);
    // From the loop's input to the DC blocker's output, which feeds both the
    // loop and the tube's output: d = DC z^-D LP HP (u + feedback d).
    const auto response = [&](double f) {
        const std::complex<double> z1 = std::polar(1.0, -2.0 * PI * f / substep_rate);
        const auto hp = (1.0 - z1) / (1.0 - highpass * z1);
        const auto dc = (1.0 - z1) / (1.0 - dc_pole * z1);
        const auto lp = (1.0 - damping) / (1.0 - damping * z1);
        const auto forward = dc * std::polar(1.0, -2.0 * PI * f * delay / substep_rate) * lp * hp;
        return std::abs(forward / (1.0 - feedback * forward));
    };
    // The filters raise the first resonance above the delay's own frequency,
    // but never as far as the second.
    const double nominal = substep_rate / delay;
    double best = nominal, best_response = 0.0;
    for (double f = 0.5 * nominal; f <= 1.75 * nominal; f += 0.01) {
        const double r = response(f);
        if (r > best_response) {
            best_response = r;
            best = f;
        }
    }
    return best;
}

Peak spectral_peak(const std::vector<float>& signal, size_t from, size_t to, double sample_rate,
                   double low_hz, double high_hz, Window window)
{
    to = std::min(to, signal.size());
    if (from >= to) return {};
    const size_t n = to - from;
    std::vector<double> windowed(n);
    for (size_t i = 0; i < n; ++i) {
        const double weight = window == Window::Hann
                                  ? 0.5 - 0.5 * std::cos(2.0 * PI * double(i) / double(n - 1))
                                  : 1.0;
        windowed[i] = weight * double(signal[from + i]);
    }
    // Goertzel: one bin of the DFT at an arbitrary frequency.
    const auto magnitude = [&](double f) {
        const double coefficient = 2.0 * std::cos(2.0 * PI * f / sample_rate);
        double s1 = 0.0, s2 = 0.0;
        for (double x : windowed) {
            const double s0 = x + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        return std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - coefficient * s1 * s2));
    };
    // Half-bin steps across the band find the peak's bin; a fine scan
    // around it finds the peak.
    const double coarse = std::max(FINE_STEP_HZ, 0.5 * sample_rate / double(n));
    std::vector<double> frequencies;
    std::vector<double> magnitudes;
    for (double f = low_hz; f <= high_hz; f += coarse) {
        frequencies.push_back(f);
        magnitudes.push_back(magnitude(f));
    }
    if (magnitudes.empty()) return {};
    const auto best = std::max_element(magnitudes.begin(), magnitudes.end());
    std::vector<double> sorted = magnitudes;
    std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
    const double median = sorted[sorted.size() / 2];
    Peak peak;
    peak.frequency = frequencies[size_t(best - magnitudes.begin())];
    peak.prominence = median > 0.0 ? *best / median : (*best > 0.0 ? INFINITY : 0.0);
    peak.floor = median;
    double best_fine = *best;
    const double centre = peak.frequency;
    for (double f = centre - coarse; f <= centre + coarse; f += FINE_STEP_HZ) {
        const double m = magnitude(f);
        if (m > best_fine) {
            best_fine = m;
            peak.frequency = f;
        }
    }
    peak.magnitude = best_fine;
    return peak;
}

double rms(const std::vector<float>& signal, size_t from, size_t to)
{
    to = std::min(to, signal.size());
    if (from >= to) return 0.0;
    double sum = 0.0;
    for (size_t i = from; i < to; ++i) sum += double(signal[i]) * double(signal[i]);
    return std::sqrt(sum / double(to - from));
}

bool all_finite(const std::vector<float>& signal)
{
    return std::all_of(signal.begin(), signal.end(), [](float x) { return std::isfinite(x); });
}

std::vector<float> white_noise(size_t frames, uint32_t seed, float amplitude)
{
    // xorshift32: the same noise on every machine, unlike std::uniform_*.
    uint32_t state = seed != 0 ? seed : 1u;
    std::vector<float> out(frames);
    for (float& x : out) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        x = amplitude * float(double(state) / 2147483647.5 - 1.0);
    }
    return out;
}
