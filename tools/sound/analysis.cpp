#include "analysis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <tuple>

#include "fft.h"

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double NOT_FOUND = std::numeric_limits<double>::quiet_NaN();

// The fraction of an impulse response that is tapered to zero at its end, so
// that cutting it off does not ring around every peak.
constexpr double END_TAPER = 0.1;

// Where a partial's decay line is fitted, in dB below its peak: past the
// onset, and well above where float rounding and the neighbours' leakage
// begin.
constexpr double FIT_START_DB = 5.0;
constexpr double FIT_END_DB = 45.0;
constexpr double FIT_MIN_DB = 10.0;
// Points wanted along the fitted fall; a coarse pass finds the fall first.
constexpr size_t FIT_POINTS = 40;
// How strong a shorter repetition must be, against the strongest, to be
// taken as the period.
constexpr double NEARLY_AS_STRONG = 0.8;

double to_db(double magnitude)
{
    return 20.0 * std::log10(std::max(magnitude, 1e-300));
}

// Offset in bins of the top of the parabola through three log magnitudes.
double parabola_offset(double left, double centre, double right)
{
    const double curvature = left - 2.0 * centre + right;
    return curvature < 0.0 ? 0.5 * (left - right) / curvature : 0.0;
}

// Blackman-Harris window times the carrier e^(-i w n), scaled so that a
// sinusoid of amplitude 1 at the frequency measures 1.
std::vector<std::complex<double>> analysis_kernel(size_t window, double frequency_hz,
                                                  double sample_rate)
{
    constexpr double A0 = 0.35875, A1 = 0.48829, A2 = 0.14128, A3 = 0.01168;
    const double step = 2.0 * PI * frequency_hz / sample_rate;
    const double span = 2.0 * PI / double(window - 1);
    std::vector<std::complex<double>> kernel(window);
    double weight_sum = 0.0;
    for (size_t i = 0; i < window; ++i) {
        const double a = span * double(i);
        const double w = A0 - A1 * std::cos(a) + A2 * std::cos(2.0 * a) - A3 * std::cos(3.0 * a);
        kernel[i] = std::polar(w, -step * double(i));
        weight_sum += w;
    }
    for (auto& k : kernel) k *= 2.0 / weight_sum;
    return kernel;
}

double apply_kernel(const std::vector<float>& signal, size_t from,
                    const std::vector<std::complex<double>>& kernel)
{
    std::complex<double> sum = 0.0;
    for (size_t i = 0; i < kernel.size() && from + i < signal.size(); ++i) {
        sum += kernel[i] * double(signal[from + i]);
    }
    return std::abs(sum);
}

struct Track {
    std::vector<double> time;
    std::vector<double> db;
};

// A partial's level every `hop` frames, each under the same Blackman-Harris
// window: the window and the carrier are computed once for the whole track.
Track level_track(const std::vector<float>& signal, size_t from, size_t window, size_t hop,
                  double frequency_hz, double sample_rate, size_t until)
{
    const std::vector<std::complex<double>> kernel =
        analysis_kernel(window, frequency_hz, sample_rate);
    Track track;
    for (size_t start = from; start + window <= until; start += hop) {
        track.time.push_back(double(start - from) / sample_rate);
        track.db.push_back(to_db(apply_kernel(signal, start, kernel)));
    }
    return track;
}

// The indices [first, last) of the track that lie between FIT_START_DB and
// FIT_END_DB below its peak, walking on from the peak.
std::pair<size_t, size_t> fit_range(const Track& track)
{
    if (track.db.empty()) return {0, 0};
    const size_t top =
        size_t(std::max_element(track.db.begin(), track.db.end()) - track.db.begin());
    const double peak = track.db[top];
    size_t first = top;
    while (first < track.db.size() && track.db[first] > peak - FIT_START_DB) ++first;
    size_t last = first;
    while (last < track.db.size() && track.db[last] >= peak - FIT_END_DB) ++last;
    return {first, last};
}

}  // namespace

double arrival(const std::vector<float>& output, size_t sent, size_t until)
{
    size_t best = sent + 1;
    for (size_t i = sent + 1; i < until && i + 1 < output.size(); ++i) {
        if (std::fabs(output[i]) > std::fabs(output[best])) best = i;
    }
    return double(best) + parabola_offset(std::fabs(output[best - 1]), std::fabs(output[best]),
                                          std::fabs(output[best + 1]));
}

double note_hz(double note)
{
    return 440.0 * std::pow(2.0, (note - 69.0) / 12.0);
}

double cents(double frequency, double reference)
{
    return 1200.0 * std::log2(frequency / reference);
}

Spectrum impulse_spectrum(const std::vector<float>& signal, size_t from, size_t count,
                          size_t fft_size, double sample_rate)
{
    count = std::min({count, fft_size, signal.size() - std::min(from, signal.size())});
    std::vector<std::complex<double>> data(fft_size);
    const size_t taper = size_t(double(count) * END_TAPER);
    for (size_t i = 0; i < count; ++i) {
        double weight = 1.0;
        if (i + taper >= count) {
            const double into = double(i + taper - count + 1) / double(taper);
            weight = 0.5 + 0.5 * std::cos(PI * into);
        }
        data[i] = weight * double(signal[from + i]);
    }
    fft(data);
    Spectrum spectrum;
    spectrum.bin_hz = sample_rate / double(fft_size);
    spectrum.magnitude.resize(fft_size / 2 + 1);
    for (size_t i = 0; i < spectrum.magnitude.size(); ++i) {
        spectrum.magnitude[i] = std::abs(data[i]);
    }
    return spectrum;
}

double peak_in(const Spectrum& spectrum, double low_hz, double high_hz)
{
    const auto& m = spectrum.magnitude;
    const long low = std::max(1L, long(std::ceil(low_hz / spectrum.bin_hz)));
    const long high = std::min(long(m.size()) - 2, long(std::floor(high_hz / spectrum.bin_hz)));
    long best = -1;
    for (long i = low + 1; i < high; ++i) {
        const bool local_max = m[size_t(i)] > m[size_t(i - 1)] && m[size_t(i)] >= m[size_t(i + 1)];
        if (local_max && (best < 0 || m[size_t(i)] > m[size_t(best)])) best = i;
    }
    if (best < 0) return NOT_FOUND;
    // A maximum that the band's edge still outdoes is the skirt of something
    // outside the band, not a resonance inside it.
    if (m[size_t(low)] >= m[size_t(best)] || m[size_t(high)] >= m[size_t(best)]) return NOT_FOUND;
    const auto b = size_t(best);
    const double offset = parabola_offset(to_db(m[b - 1]), to_db(m[b]), to_db(m[b + 1]));
    return (double(best) + offset) * spectrum.bin_hz;
}

double repetition_hz(const Spectrum& spectrum, double low_hz, double high_hz)
{
    // The autocorrelation is the inverse transform of the power spectrum;
    // the spectrum is real and even, so the forward transform does as well.
    const size_t half = spectrum.magnitude.size() - 1;
    const size_t n = 2 * half;
    std::vector<std::complex<double>> power(n);
    for (size_t i = 0; i <= half; ++i) {
        const double p = spectrum.magnitude[i] * spectrum.magnitude[i];
        power[i] = p;
        if (i > 0 && i < half) power[n - i] = p;
    }
    fft(power);
    const double rate = spectrum.bin_hz * double(n);
    const auto shortest = size_t(std::floor(rate / high_hz));
    const auto longest = std::min(half - 1, size_t(std::ceil(rate / low_hz)));
    if (shortest < 1 || shortest >= longest) return NOT_FOUND;
    const auto at = [&](size_t lag) { return power[lag].real(); };
    size_t best = shortest;
    for (size_t lag = shortest; lag <= longest; ++lag) {
        if (at(lag) > at(best)) best = lag;
    }
    // A signal that repeats every period also repeats every two; when the
    // shorter repetition is nearly as strong, it is the period.
    for (size_t lag = shortest + 1; lag < best; ++lag) {
        if (at(lag) >= NEARLY_AS_STRONG * at(best) && at(lag) >= at(lag - 1) &&
            at(lag) >= at(lag + 1)) {
            best = lag;
            break;
        }
    }
    const double l = power[best - 1].real(), c = power[best].real(), r = power[best + 1].real();
    const double curvature = l - 2.0 * c + r;
    const double lag = double(best) + (curvature < 0.0 ? 0.5 * (l - r) / curvature : 0.0);
    return rate / lag;
}

std::vector<double> find_partials(const Spectrum& spectrum, double guess_hz, double max_hz,
                                  size_t max_count)
{
    // A partial that the loop does not let ring (a gap) is skipped; a few gaps
    // in a row end the search.
    constexpr int MAX_GAPS = 3;
    constexpr double LIFTED_SECOND = 0.65;
    std::vector<double> partials{NOT_FOUND};
    std::vector<double> numbers;
    std::vector<double> found;
    double spacing = guess_hz;
    double predicted = 2.0 * guess_hz;
    int gaps = 0;
    for (size_t k = 2; k <= max_count && predicted + 0.5 * spacing < max_hz; ++k) {
        // The loop's high-pass lifts its lowest partials most: at the lowest
        // notes at 96 kHz, where partial 1 does not ring, partial 2 lies up
        // to about 0.57 of the spacing above twice it.
        const double reach = k == 2 ? LIFTED_SECOND * spacing : 0.5 * spacing;
        const double f = peak_in(spectrum, predicted - 0.5 * spacing, predicted + reach);
        partials.push_back(f);
        if (std::isnan(f)) {
            if (++gaps >= MAX_GAPS) break;
            predicted += spacing;
            continue;
        }
        gaps = 0;
        numbers.push_back(double(k));
        found.push_back(f);
        // A partial 2 lifted by more than a quarter of the spacing says
        // less of the spacing than the guess does: the guess stands.
        const bool lifted = f > predicted + 0.25 * spacing;
        spacing =
            found.size() < 2 ? (lifted ? spacing : f / double(k)) : fit_line(numbers, found).slope;
        predicted = f + spacing;
    }
    while (partials.size() > 1 && std::isnan(partials.back())) partials.pop_back();
    if (!found.empty()) {
        // Below partial 2, or where it would be.
        const double second = std::isnan(partials[1]) ? 2.0 * spacing : partials[1];
        partials[0] = peak_in(spectrum, 0.3 * spacing, second - 0.4 * spacing);
    }
    return partials;
}

Line fit_line(const std::vector<double>& x, const std::vector<double>& y)
{
    const size_t n = std::min(x.size(), y.size());
    if (n == 0) return {};
    double mx = 0.0, my = 0.0;
    for (size_t i = 0; i < n; ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= double(n);
    my /= double(n);
    double sxy = 0.0, sxx = 0.0;
    for (size_t i = 0; i < n; ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
    }
    Line line;
    line.slope = sxx > 0.0 ? sxy / sxx : 0.0;
    line.intercept = my - line.slope * mx;
    return line;
}

double partial_spacing(const std::vector<double>& partials, size_t first, size_t last)
{
    std::vector<double> numbers, frequencies;
    for (size_t k = first; k <= last && k <= partials.size(); ++k) {
        if (std::isnan(partials[k - 1])) continue;
        numbers.push_back(double(k));
        frequencies.push_back(partials[k - 1]);
    }
    return numbers.size() < 2 ? NOT_FOUND : fit_line(numbers, frequencies).slope;
}

double level_db(const std::vector<float>& signal, size_t from, size_t window, double frequency_hz,
                double sample_rate)
{
    return to_db(apply_kernel(signal, from, analysis_kernel(window, frequency_hz, sample_rate)));
}

Decay partial_decay(const std::vector<float>& signal, size_t from, double frequency_hz,
                    size_t window, double sample_rate)
{
    const size_t end = signal.size();
    // Coarse pass, half a window apart, to see where the fall lies.
    Track track = level_track(signal, from, window, std::max<size_t>(1, window / 2), frequency_hz,
                              sample_rate, end);
    auto [first, last] = fit_range(track);
    if (last - first < FIT_POINTS && last > first) {
        // A fast fall: look again with points close enough to follow it.
        const auto span = size_t((track.time[last - 1] - track.time[0]) * sample_rate);
        const size_t hop = std::max<size_t>(1, span / FIT_POINTS);
        const size_t until = std::min(end, from + span + window + 2 * hop);
        track = level_track(signal, from, window, hop, frequency_hz, sample_rate, until);
        std::tie(first, last) = fit_range(track);
    }
    Decay decay;
    decay.t60 = NOT_FOUND;
    if (last < first + 3) return decay;
    const std::vector<double> t(track.time.begin() + long(first), track.time.begin() + long(last));
    const std::vector<double> db(track.db.begin() + long(first), track.db.begin() + long(last));
    decay.fitted_db = db.front() - db.back();
    const Line line = fit_line(t, db);
    if (decay.fitted_db >= FIT_MIN_DB && line.slope < 0.0) decay.t60 = -60.0 / line.slope;
    return decay;
}

double energy_decay(const std::vector<float>& signal, size_t from, double sample_rate)
{
    if (from >= signal.size()) return NOT_FOUND;
    std::vector<double> remaining(signal.size() - from);
    double sum = 0.0;
    for (size_t i = signal.size(); i-- > from;) {
        sum += double(signal[i]) * double(signal[i]);
        remaining[i - from] = sum;
    }
    if (sum <= 0.0) return NOT_FOUND;
    std::vector<double> t, db;
    for (size_t i = 0; i < remaining.size(); ++i) {
        const double level = 10.0 * std::log10(remaining[i] / remaining[0]);
        if (level < -35.0) break;
        if (level <= -5.0) {
            t.push_back(double(i) / sample_rate);
            db.push_back(level);
        }
    }
    const Line line = fit_line(t, db);
    return t.size() > 2 && line.slope < 0.0 ? -60.0 / line.slope : NOT_FOUND;
}

FrequencyTrack frequency_track(const std::vector<float>& signal, size_t from, size_t until,
                               size_t window, size_t hop, double frequency_hz, double sample_rate)
{
    const std::vector<std::complex<double>> kernel =
        analysis_kernel(window, frequency_hz, sample_rate);
    const auto at = [&](size_t start) {
        std::complex<double> sum = 0.0;
        for (size_t i = 0; i < window; ++i) sum += kernel[i] * double(signal[start + i]);
        return sum;
    };
    // The kernel's carrier restarts at each window, so a component exactly at
    // frequency_hz turns by w * hop from one window to the next; what is
    // left over is its offset.
    const double turn = 2.0 * PI * frequency_hz * double(hop) / sample_rate;
    FrequencyTrack track;
    until = std::min(until, signal.size());
    if (until < window + hop) return track;
    std::complex<double> previous = at(from);
    for (size_t start = from + hop; start + window <= until; start += hop) {
        const std::complex<double> current = at(start);
        const double offset =
            std::remainder(std::arg(current) - std::arg(previous) - turn, 2.0 * PI);
        track.time.push_back((double(start - from) - 0.5 * double(hop) + 0.5 * double(window)) /
                             sample_rate);
        track.hz.push_back(frequency_hz + offset * sample_rate / (2.0 * PI * double(hop)));
        track.db.push_back(to_db(std::abs(current)));
        previous = current;
    }
    return track;
}

namespace {

// The triangle -1..1..-1, at its top at phase 0.
double triangle(double phase)
{
    const double x = phase - std::floor(phase);
    return 1.0 - 4.0 * std::fabs(x < 0.5 ? x : x - 1.0);
}

// The triangle seen through a Blackman-Harris window `window_s` long,
// centred on each time.
std::vector<double> windowed_triangle(const std::vector<double>& time, double window_s,
                                      double period_s, double top_s)
{
    constexpr int TAPS = 33;
    constexpr double A0 = 0.35875, A1 = 0.48829, A2 = 0.14128, A3 = 0.01168;
    std::array<double, TAPS> weight{}, offset{};
    double total = 0.0;
    for (int i = 0; i < TAPS; ++i) {
        const double a = 2.0 * PI * double(i) / double(TAPS - 1);
        weight[size_t(i)] = A0 - A1 * std::cos(a) + A2 * std::cos(2.0 * a) - A3 * std::cos(3.0 * a);
        offset[size_t(i)] = window_s * (double(i) / double(TAPS - 1) - 0.5);
        total += weight[size_t(i)];
    }
    std::vector<double> seen(time.size());
    for (size_t n = 0; n < time.size(); ++n) {
        double sum = 0.0;
        for (size_t i = 0; i < size_t(TAPS); ++i) {
            sum += weight[i] * triangle((time[n] + offset[i] - top_s) / period_s);
        }
        seen[n] = sum / total;
    }
    return seen;
}

TriangleFit fit_at(const std::vector<double>& time, const std::vector<double>& value,
                   double window_s, double period_s, double top_s)
{
    const std::vector<double> shape = windowed_triangle(time, window_s, period_s, top_s);
    const Line line = fit_line(shape, value);
    double squares = 0.0;
    for (size_t n = 0; n < value.size(); ++n) {
        const double miss = value[n] - (line.intercept + line.slope * shape[n]);
        squares += miss * miss;
    }
    TriangleFit fit;
    fit.period_s = period_s;
    fit.top_s = top_s;
    fit.middle = line.intercept;
    fit.half_swing = line.slope;
    fit.residual_rms = std::sqrt(squares / double(std::max<size_t>(1, value.size())));
    return fit;
}

}  // namespace

TriangleFit fit_triangle(const std::vector<double>& time, const std::vector<double>& value,
                         double window_s, double min_period_s, double max_period_s)
{
    TriangleFit best;
    best.residual_rms = INFINITY;
    if (time.size() < 4) return best;
    // The period first from the track's own repetition: the lag, between the
    // two bounds, at which it best matches itself.
    const double step_s = (time.back() - time.front()) / double(time.size() - 1);
    double mean = 0.0;
    for (const double v : value) mean += v;
    mean /= double(value.size());
    std::vector<double> lags, match;
    for (auto lag = size_t(min_period_s / step_s);
         lag <= size_t(max_period_s / step_s) && lag + 1 < value.size(); ++lag) {
        double sum = 0.0;
        for (size_t n = 0; n + lag < value.size(); ++n) {
            sum += (value[n] - mean) * (value[n + lag] - mean);
        }
        lags.push_back(double(lag) * step_s);
        match.push_back(sum / double(value.size() - lag));
    }
    if (match.size() < 3) return best;
    const double strongest = *std::max_element(match.begin(), match.end());
    // A track that repeats every period also repeats every two: the first
    // repetition nearly as strong as the strongest is the period.
    double guess = lags[size_t(std::max_element(match.begin(), match.end()) - match.begin())];
    for (size_t i = 1; i + 1 < match.size(); ++i) {
        if (match[i] >= NEARLY_AS_STRONG * strongest && match[i] >= match[i - 1] &&
            match[i] >= match[i + 1]) {
            guess = lags[i];
            break;
        }
    }
    // Then grids of periods and phases around it, each a tenth of the last;
    // only a positive swing counts, so that the top is the top.
    const auto consider = [&](double period, double top) {
        const TriangleFit fit = fit_at(time, value, window_s, period, top);
        if (fit.half_swing > 0.0 && fit.residual_rms < best.residual_rms) best = fit;
    };
    constexpr int STEPS = 40;
    double period_step = 2.0 * step_s;
    for (int p = -5; p <= 5; ++p) {
        for (int q = 0; q < STEPS; ++q) consider(guess + period_step * p, guess * q / STEPS);
    }
    double top_step = guess / STEPS;
    for (int round = 0; round < 4; ++round) {
        const TriangleFit centre = best;
        period_step /= 5.0;
        top_step /= 5.0;
        for (int p = -10; p <= 10; ++p) {
            for (int q = -10; q <= 10; ++q) {
                consider(centre.period_s + period_step * p, centre.top_s + top_step * q);
            }
        }
    }
    best.top_s -= best.period_s * std::floor(best.top_s / best.period_s);
    return best;
}

std::vector<double> peaks_in(const Spectrum& spectrum, double low_hz, double high_hz,
                             double within_db)
{
    const auto& m = spectrum.magnitude;
    const auto low = size_t(std::max(1.0, std::ceil(low_hz / spectrum.bin_hz)));
    const auto high = std::min(m.size() - 2, size_t(std::floor(high_hz / spectrum.bin_hz)));
    std::vector<size_t> maxima;
    double strongest = 0.0;
    for (size_t i = low; i <= high; ++i) {
        if (m[i] > m[i - 1] && m[i] >= m[i + 1]) {
            maxima.push_back(i);
            strongest = std::max(strongest, m[i]);
        }
    }
    std::vector<double> peaks;
    for (const size_t i : maxima) {
        if (to_db(m[i]) < to_db(strongest) - within_db) continue;
        const double offset = parabola_offset(to_db(m[i - 1]), to_db(m[i]), to_db(m[i + 1]));
        peaks.push_back((double(i) + offset) * spectrum.bin_hz);
    }
    return peaks;
}
