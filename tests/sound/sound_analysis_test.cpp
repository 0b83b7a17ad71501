// The estimators tools/measure-sound reads the tubes with, on signals whose
// answers are known beforehand: sums of decaying partials laid out as the
// tubes lay theirs out (evenly spaced, the lowest pushed up, each with a
// decay of its own), and a plain feedback comb, whose partials and decay
// follow from its delay and gain alone.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis.h"
#include "fft.h"

namespace {

constexpr double RATE = 48000.0;
constexpr double PI = 3.14159265358979323846;
constexpr double LN_1000 = 6.907755278982137;

struct Partial {
    double frequency;
    double t60;
    double amplitude;
};

std::vector<float> ring(const std::vector<Partial>& partials, double seconds)
{
    std::vector<float> out(size_t(seconds * RATE));
    for (const Partial& p : partials) {
        const double rate = LN_1000 / p.t60;
        for (size_t i = 0; i < out.size(); ++i) {
            const double t = double(i) / RATE;
            out[i] +=
                float(p.amplitude * std::exp(-rate * t) * std::sin(2.0 * PI * p.frequency * t));
        }
    }
    return out;
}

Spectrum spectrum_of(const std::vector<float>& signal)
{
    return impulse_spectrum(signal, 0, signal.size(), 2 * power_of_two_at_least(signal.size()),
                            RATE);
}

// Partials k = 1..count at shift + k * spacing; the lowest may be left out.
// Low partials die sooner and are weaker, as in the tubes.
std::vector<Partial> tube_like(double spacing, double shift, double longest_t60, size_t count,
                               bool with_lowest)
{
    std::vector<Partial> partials;
    for (size_t k = with_lowest ? 1 : 2; k <= count; ++k) {
        const double t60 = longest_t60 * (1.0 - 0.7 / double(k * k));
        partials.push_back({shift + double(k) * spacing, t60, 0.01 * (1.0 - 0.5 / double(k))});
    }
    return partials;
}

struct TubeCase {
    const char* name;
    double spacing;
    double shift;  // of every partial; the lowest gets twice it
    double longest_t60;
    double seconds;
    // How far a partial may be found from its frequency, in widths of its
    // peak (2.2 / T60 Hz): short decays give broad peaks that overlap their
    // neighbours, whose frequency is no sharper than that.
    double widths;
};

class TubeLikeSignals : public testing::TestWithParam<TubeCase> {};

// Every partial's frequency and decay, the spacing, and the repetition the
// search starts from, for low, middle and high notes and long and short
// decays.
TEST_P(TubeLikeSignals, RecoverPartialsSpacingAndDecays)
{
    const TubeCase& c = GetParam();
    constexpr size_t COUNT = 10;
    std::vector<Partial> partials = tube_like(c.spacing, c.shift, c.longest_t60, COUNT, true);
    partials[0].frequency += c.shift;
    const std::vector<float> signal = ring(partials, c.seconds);
    const Spectrum spectrum = spectrum_of(signal);

    const double repetition = repetition_hz(spectrum, 0.4 * c.spacing, 2.2 * c.spacing);
    EXPECT_NEAR(repetition, c.spacing, 0.02 * c.spacing);

    const std::vector<double> found = find_partials(spectrum, repetition, 0.45 * RATE, COUNT);
    ASSERT_EQ(found.size(), COUNT);
    // A partial is found to a small part of its width (T60 / 2.2 Hz).
    for (size_t k = 0; k < COUNT; ++k) {
        const double width = LN_1000 / (PI * partials[k].t60);
        EXPECT_NEAR(found[k], partials[k].frequency, c.widths * width + 0.02)
            << "partial " << k + 1;
    }
    EXPECT_NEAR(partial_spacing(found, 2, 8), c.spacing, 0.002 * c.spacing);

    const auto window = size_t(6.0 / c.spacing * RATE);
    for (size_t k = 0; k < COUNT; ++k) {
        const Decay decay = partial_decay(signal, 0, found[k], window, RATE);
        EXPECT_NEAR(decay.t60, partials[k].t60, 0.03 * partials[k].t60) << "partial " << k + 1;
        EXPECT_GE(decay.fitted_db, 15.0) << "partial " << k + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Notes, TubeLikeSignals,
    testing::Values(TubeCase{"LowNoteLongDecay", 65.0, 4.0, 6.0, 8.0, 0.05},
                    TubeCase{"MiddleCLongDecay", 262.0, 12.0, 3.0, 4.0, 0.05},
                    TubeCase{"HighNoteLongDecay", 1046.0, 30.0, 1.5, 2.5, 0.05},
                    TubeCase{"MiddleCShortDecay", 262.0, 12.0, 0.1, 0.5, 0.35},
                    TubeCase{"HighNoteShortDecay", 1046.0, 30.0, 0.04, 0.3, 0.35}),
    [](const testing::TestParamInfo<TubeCase>& info) { return info.param.name; });

// A loop whose filters take the lowest partial: no resonance is invented
// where there is none, and the others are still numbered from 1.
TEST(TubeLikeSignalsAnalysis, AbsentLowestPartialIsNotFound)
{
    const std::vector<Partial> partials = tube_like(131.0, 6.0, 2.0, 8, false);
    const Spectrum spectrum = spectrum_of(ring(partials, 3.0));
    const std::vector<double> found = find_partials(spectrum, 131.0, 0.45 * RATE, 8);
    ASSERT_EQ(found.size(), 8u);
    EXPECT_TRUE(std::isnan(found[0]));
    for (size_t k = 1; k < 8; ++k) EXPECT_NEAR(found[k], partials[k - 1].frequency, 0.05);
}

// A feedback comb y[n] = x[n] + g y[n - D]: its partials lie at the
// multiples of RATE / D, each falls 20 log10(g) dB every D samples, and its
// energy falls the same way. With g negative, it repeats only every 2 D:
// the partials lie at the odd multiples of RATE / (2 D).
std::vector<float> comb(size_t delay, double gain, double seconds)
{
    std::vector<double> y(size_t(seconds * RATE));
    for (size_t n = 0; n < y.size(); ++n) {
        y[n] = (n == 0 ? 1e-3 : 0.0) + (n >= delay ? gain * y[n - delay] : 0.0);
    }
    return std::vector<float>(y.begin(), y.end());
}

TEST(FeedbackComb, PartialsAndDecayFollowFromDelayAndGain)
{
    struct Case {
        size_t delay;
        double gain;
    };
    for (const Case c : {Case{480, 0.99}, Case{183, 0.995}, Case{1467, 0.95}}) {
        SCOPED_TRACE(testing::Message() << "delay " << c.delay << ", gain " << c.gain);
        const double spacing = RATE / double(c.delay);
        const double t60 = -3.0 * double(c.delay) / (RATE * std::log10(c.gain));
        const std::vector<float> signal = comb(c.delay, c.gain, std::min(12.0, 1.3 * t60));
        const Spectrum spectrum = spectrum_of(signal);
        EXPECT_NEAR(repetition_hz(spectrum, 0.4 * spacing, 2.2 * spacing), spacing,
                    0.002 * spacing);
        const std::vector<double> found = find_partials(spectrum, spacing, 8000.0, 8);
        ASSERT_GE(found.size(), 8u);
        for (size_t k = 0; k < 8; ++k) EXPECT_NEAR(found[k], double(k + 1) * spacing, 0.02);
        EXPECT_NEAR(partial_decay(signal, 0, found[2], size_t(6.0 / spacing * RATE), RATE).t60, t60,
                    0.03 * t60);
        EXPECT_NEAR(energy_decay(signal, 0, RATE), t60, 0.03 * t60);
    }
}

TEST(FeedbackComb, InvertedLoopRepeatsEverySecondTrip)
{
    constexpr size_t DELAY = 480;
    const double note = RATE / double(DELAY);
    const Spectrum spectrum = spectrum_of(comb(DELAY, -0.99, 4.0));
    const double repetition = repetition_hz(spectrum, 0.4 * note, 2.2 * note);
    EXPECT_NEAR(repetition, 0.5 * note, 0.002 * note);
    const std::vector<double> found = find_partials(spectrum, repetition, 4000.0, 9);
    ASSERT_GE(found.size(), 9u);
    for (size_t k = 0; k < 9; ++k) {
        if (k % 2 == 0) {
            EXPECT_NEAR(found[k], double(k + 1) * 0.5 * note, 0.02) << "partial " << k + 1;
        } else {
            EXPECT_TRUE(std::isnan(found[k])) << "partial " << k + 1;
        }
    }
}

}  // namespace

namespace {

// The triangle -1..1..-1 at its top at phase 0, written apart from the
// estimator's own.
double triangle_at(double phase)
{
    const double x = phase - std::floor(phase + 0.5);  // -0.5..0.5, 0 at the top
    return 1.0 - 4.0 * std::fabs(x);
}

// Partials 1..count of a pitch that swings in a triangle: each partial's
// frequency is k * f0 * (1 + depth * tri), its phase the running sum of it,
// every partial decaying with the same T60.
std::vector<float> swinging(double f0, double depth, double period, double top, size_t count,
                            double seconds)
{
    std::vector<float> out(size_t(seconds * RATE));
    const double fall = LN_1000 / 3.0;
    double turn = 0.0;  // cycles of f0 so far
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = double(i) / RATE;
        double sum = 0.0;
        for (size_t k = 1; k <= count; ++k) sum += std::sin(2.0 * PI * double(k) * turn);
        out[i] = float(0.01 * std::exp(-fall * t) * sum);
        turn += f0 * (1.0 + depth * triangle_at((t - top) / period)) / RATE;
    }
    return out;
}

TEST(SoundAnalysis, TriangleFitRecoversAPitchSwingThroughAnyWindow)
{
    struct Case {
        double f0, cents, period, top;
    };
    // Low notes need long windows, which alone would blunt the tops.
    const Case cases[] = {{65.4, 0.9, 0.25, 0.12},
                          {261.6, 3.5, 0.25, 0.03},
                          {1046.5, 14.0, 0.125, 0.06},
                          {130.8, 1.8, 0.272, 0.2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.f0);
        // The swing peak to peak is `cents`: depth is half of it as a ratio.
        const double ratio = std::pow(2.0, c.cents / 1200.0);
        const double depth = (ratio - 1.0) / (ratio + 1.0);
        const size_t count = size_t(3000.0 / c.f0);
        const std::vector<float> signal = swinging(c.f0, depth, c.period, c.top, count, 1.6);
        const double partial = std::round(2000.0 / c.f0) * c.f0;
        const auto window = size_t(4.0 / c.f0 * RATE);
        const FrequencyTrack track =
            frequency_track(signal, 0, signal.size(), window, 48, partial, RATE);
        const TriangleFit fit =
            fit_triangle(track.time, track.hz, double(window) / RATE, 0.05, 0.6);
        EXPECT_NEAR(fit.period_s, c.period, 0.0005 * c.period);
        EXPECT_NEAR(cents(fit.middle + fit.half_swing, fit.middle - fit.half_swing), c.cents,
                    0.02 * c.cents);
        EXPECT_NEAR(fit.middle, partial, 1e-4 * partial);
        EXPECT_NEAR(std::remainder(fit.top_s - c.top, c.period), 0.0, 0.001);
        EXPECT_LT(fit.residual_rms, 0.05 * fit.half_swing);
    }
}

TEST(SoundAnalysis, PeaksInFindsLinesAFewHertzApart)
{
    // Decaying lines 4 Hz apart: within 20 dB of the strongest, three at -12
    // and -16.5 dB; left out, two at -30.5 and -60 dB. A strong neighbour's
    // skirt pulls a weak line by up to half a hertz.
    const std::vector<Partial> lines = {{2192.0, 1.0, 0.00001}, {2196.0, 1.0, 0.0003},
                                        {2200.0, 1.0, 0.0025},  {2204.0, 1.0, 0.01},
                                        {2208.0, 1.0, 0.0025},  {2212.0, 1.0, 0.0015}};
    const std::vector<double> found = peaks_in(spectrum_of(ring(lines, 2.5)), 2180.0, 2220.0, 20.0);
    const std::vector<double> expected = {2200.0, 2204.0, 2208.0, 2212.0};
    ASSERT_EQ(found.size(), expected.size()) << ::testing::PrintToString(found);
    for (size_t i = 0; i < found.size(); ++i) EXPECT_NEAR(found[i], expected[i], 0.5);
}

// A click comes out of a loop as a pulse of either sign whose top lies
// between frames; the frame it went in at, and anything from `until` on, are
// not its arrival.
TEST(SoundAnalysis, ArrivalIsThePulsesTopBetweenFrames)
{
    std::vector<float> out(40, 0.0f);
    for (int i = 8; i <= 12; ++i) out[size_t(i)] = -float(1.0 - 0.1 * (i - 10.3) * (i - 10.3));
    out[5] = 5.0f;
    out[30] = 5.0f;
    EXPECT_NEAR(arrival(out, 5, 20), 10.3, 1e-5);
}

}  // namespace
