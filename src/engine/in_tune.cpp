#include "engine/in_tune.h"

#include <cmath>

#include "engine/sample_steps.h"

// A tube's loop is a delay and, on every trip round it, the DC blocker, the
// fixed high-pass and the damping low-pass. A partial rings where the trip's
// phase is a whole number of turns, so the filters' phase moves every
// partial, the lowest ones most, and the spacing of the partials (the pitch
// heard) is not the delay's. The model below finds the delay whose partials
// 2 to 8 are spaced by the note, as a straight line fitted to them; the
// lowest partial is left where the filters put it.
//
// Where a partial is heard is the top of its peak in the tube's response,
// which lies off the phase's whole turn where the loop's gain slopes, and
// the filters make it slope steeply at the low partials of low notes. So
// each partial is the top of the response: input upsampler, then the loop
// T = P / (1 - g P e^(-iwD)), with P the filters and the six-point read
// (a quintic B-spline: symmetric, so it delays by its position and only
// shapes the magnitude, by sinc^6), g the feedback, D the delay.
//
// Everything is in double precision and runs a fixed number of steps, so
// that the result depends on nothing but the arguments; it is rounded to a
// 1/1024 of a sub-step, far below what is heard and far above the last bits
// of the maths library, so every processor lands on the same distance.

namespace {

constexpr double PI = 3.14159265358979323846;

// Partials 2 to 8: the least-squares slope of their frequencies against
// their numbers, whose mean number is 5 and whose sum of squared
// deviations is 28.
constexpr int FIRST_PARTIAL = 2;
constexpr int LAST_PARTIAL = 8;
constexpr int MEAN_PARTIAL = 5;
constexpr double PARTIAL_SPREAD = 28.0;

// Steps of each solution: the delay (each step rescales it by the ratio of
// the spacing found to the note's), each partial's whole turn (Newton) and
// the top of its peak (Newton, then the secant). Each search starts from the
// last one's answer, so a few steps reach well below a hundredth of a cent.
constexpr int DELAY_STEPS = 2;
constexpr int TURN_STEPS = 2;
constexpr int PEAK_STEPS = 3;
// The farthest a peak's top is taken to lie from its whole turn, in
// spacings of the partials.
constexpr double MAX_PEAK_SHIFT = 0.25;

// The glide measures a length from the read position to the write index
// after it has advanced past the slot just written. The value read is
// centred 1 + 2 slots past the read position (the position's offset of one
// slot, and the six points' segment starting at the third), plus the
// modulation, LFO_DEPTH x (|phase| + 1), whose mean over the triangle's
// sweep is 1.5 x LFO_DEPTH. So the delay D is that much shorter than the
// distance.
constexpr double WRITE_AHEAD = 1.0;
constexpr double READ_CENTRE = 3.0;
constexpr double MEAN_MODULATION = 1.5 * static_cast<double>(LFO_DEPTH);
constexpr double DISTANCE_OVER_DELAY = WRITE_AHEAD + READ_CENTRE + MEAN_MODULATION;

// The most the filters and the read move the delay from one period of the
// note, as a fraction of it (they move it by up to a few per cent).
constexpr double MAX_CORRECTION = 0.2;

constexpr double GRID = 1024.0;

// The loop falls by 60 dB in the decay time, as loop_gain (engine/tube.h).
constexpr double FALL_60_DB = 0.001;  // the distance is a whole number of 1/GRID sub-steps

struct Loop {
    double damping;   // pole of the damping low-pass
    double feedback;  // the loop's gain for its length and decay
    double delay;     // D, sub-steps
};

// One pole 1 / (1 - a e^(-iw)): its phase, the slopes of its phase and log
// magnitude, and its squared magnitude's inverse.
struct Pole {
    double angle, phase_slope, log_slope, magnitude_squared;
};

Pole pole(double a, double cos_w, double sin_w)
{
    const double re = 1.0 - a * cos_w;
    const double im = a * sin_w;
    const double m2 = re * re + im * im;
    return {std::atan2(im, re), (a * cos_w - a * a) / m2, -a * sin_w / m2, m2};
}

// The loop at one frequency w (radians per sub-step) near partial k.
struct Point {
    double excess;   // w D - (the filters' phase) - 2 pi k: zero on the whole turn
    double group;    // its slope: the trip's group delay
    double gain;     // g |P|
    double slope;    // slope of log |P|
    double outside;  // slope of log |upsampler|
};

Point point(const Loop& loop, double w, int k)
{
    const double cos_w = std::cos(w);
    const double sin_w = std::sin(w);
    const double sin_half = std::sqrt(0.5 * (1.0 - cos_w));  // sin(w/2)
    const double cot_half = sin_w / (1.0 - cos_w);            // cot(w/2)
    const Pole dc = pole(DC_POLE, cos_w, sin_w);
    const Pole high = pole(static_cast<double>(HIGHPASS_POLE), cos_w, sin_w);
    const Pole low = pole(loop.damping, cos_w, sin_w);

    // Two zeros at DC (the DC blocker's and the high-pass's): (1 - e^(-iw))^2
    // has the phase pi - w and the magnitude (2 sin(w/2))^2.
    const double phase = (PI - w) - dc.angle - high.angle - low.angle;
    const double phase_slope = -1.0 - dc.phase_slope - high.phase_slope - low.phase_slope;
    const double filters = DC_GAIN * static_cast<double>(HIGHPASS_POLE) * (1.0 - loop.damping) *
                           4.0 * sin_half * sin_half /
                           std::sqrt(dc.magnitude_squared * high.magnitude_squared *
                                     low.magnitude_squared);
    // The six-point read: sinc(w/2)^6.
    const double sinc_half = sin_half / (0.5 * w);
    const double sinc_cubed = sinc_half * sinc_half * sinc_half;

    Point p;
    p.excess = w * loop.delay - phase - 2.0 * PI * k;
    p.group = loop.delay - phase_slope;
    p.gain = loop.feedback * filters * sinc_cubed * sinc_cubed;
    p.slope = cot_half + dc.log_slope + high.log_slope + low.log_slope +  // filters
              3.0 * cot_half - 6.0 / w;                                   // read
    // The upsampler, a cubic B-spline at the host's rate (4w): sinc(2w)^4.
    const double cos_2w = cos_w * cos_w - sin_w * sin_w;
    const double sin_2w = 2.0 * sin_w * cos_w;
    p.outside = 8.0 * cos_2w / sin_2w - 4.0 / w;
    return p;
}

// Slope of log |upsampler x T| at the point.
double response_slope(const Point& p)
{
    const double c = std::cos(p.excess);
    const double s = std::sin(p.excess);
    const double g = p.gain;
    const double denominator = 1.0 - 2.0 * g * c + g * g;  // |1 - g P e^(-iwD)|^2
    const double denominator_slope = 2.0 * g * (p.group * s + (g - c) * p.slope);
    return p.slope + p.outside - 0.5 * denominator_slope / denominator;
}

// Partial k of the loop, searched from w.
double partial(const Loop& loop, int k, double w)
{
    for (int i = 0; i < TURN_STEPS; ++i) {
        const Point p = point(loop, w, k);
        w -= p.excess / p.group;
    }
    // From the whole turn to the top of the peak: the first step takes the
    // curvature of the resonance alone at its top, -g tau^2 / (1 - g)^2;
    // the secant follows.
    const double turn = w;
    Point p = point(loop, w, k);
    double previous_w = w;
    double previous_slope = response_slope(p);
    const double width = 1.0 - p.gain;
    w += previous_slope * width * width / (p.gain * p.group * p.group);
    for (int i = 1; i < PEAK_STEPS; ++i) {
        p = point(loop, w, k);
        const double slope = response_slope(p);
        if (slope == previous_slope) {
            break;
        }
        const double next = w - slope * (w - previous_w) / (slope - previous_slope);
        previous_w = w;
        previous_slope = slope;
        w = next;
    }
    // A loop that barely rings has no clear top near the turn (or the
    // search leaves it): the whole turn stands for the partial.
    if (!(std::fabs(w - turn) <= MAX_PEAK_SHIFT * 2.0 * PI / loop.delay)) {
        return turn;
    }
    return w;
}

}  // namespace

float in_tune_distance(float note, float sample_rate, float damping_coef, float decay_ms)
{
    note = std::round(note);
    const double steps_per_second = static_cast<double>(SUB_STEPS) * sample_rate;
    const double decay_s = 0.001 * static_cast<double>(decay_ms);
    // The note's frequency in radians per sub-step.
    const double target =
        2.0 * PI * 440.0 * std::pow(2.0, (static_cast<double>(note) - 69.0) / 12.0) /
        steps_per_second;

    // The longest loop the tube's line holds in tune at this rate.
    const double longest = static_cast<double>(line_size_for(TUNING_IN_TUNE, sample_rate) - 1);
    Loop loop{static_cast<double>(damping_coef), 0.0, 2.0 * PI / target};
    // Far out of the line's reach the model is not needed (nor, near the
    // sub-steps' Nyquist, meaningful): the nearest length the tube makes.
    if (loop.delay > 2.0 * longest) {
        return static_cast<float>(longest);
    }
    if (loop.delay < 0.5 * static_cast<double>(MIN_LENGTH)) {
        return static_cast<float>(MIN_LENGTH);
    }
    double w[LAST_PARTIAL + 1];
    for (int k = FIRST_PARTIAL; k <= LAST_PARTIAL; ++k) {
        w[k] = k * target;
    }
    for (int i = 0; i < DELAY_STEPS; ++i) {
        const double length = loop.delay + DISTANCE_OVER_DELAY;
        loop.feedback = std::fmin(std::pow(FALL_60_DB, length / (steps_per_second * decay_s)),
                                  static_cast<double>(FEEDBACK_LIMIT));
        double sum = 0.0;
        for (int k = FIRST_PARTIAL; k <= LAST_PARTIAL; ++k) {
            w[k] = partial(loop, k, w[k]);
            sum += (k - MEAN_PARTIAL) * w[k];
        }
        const double ratio = sum / PARTIAL_SPREAD / target;
        loop.delay *= ratio;
        for (int k = FIRST_PARTIAL; k <= LAST_PARTIAL; ++k) {
            w[k] /= ratio;
        }
    }

    // A loop that barely rings (the shortest decays with the lowest
    // dampings) has no pitch to speak of, and the model no answer: the
    // whole-step length stands.
    if (!(std::fabs(loop.delay * target / (2.0 * PI) - 1.0) <= MAX_CORRECTION)) {
        return 0.0f;
    }
    const double distance = std::round((loop.delay + DISTANCE_OVER_DELAY) * GRID) / GRID;
    if (std::isnan(distance)) {
        return 0.0f;
    }
    if (distance < static_cast<double>(MIN_LENGTH)) {
        return static_cast<float>(MIN_LENGTH);
    }
    if (distance > longest) {
        return static_cast<float>(longest);
    }
    return static_cast<float>(distance);
}
