#include "soft_clip.h"

#include <algorithm>
#include <cmath>

#include "measurements.h"

namespace {

constexpr double RATE = 48000.0, SECONDS = 1.0, DECAY_MS = 1000.0;
// Far below where the limiter bends (its error there is below 1e-12).
constexpr float REFERENCE_HIT = 1e-6f;
constexpr double LEVELS_DBFS[] = {-30, -24, -18, -12, -11, -6, 0, 6, 12};
constexpr size_t CURVE_POINTS = 600;

std::vector<float> ringing(HostWorld& host, float hit)
{
    TubeInstance instance(host, RATE);
    instance.set("decay", float(DECAY_MS));
    instance.run_silence(frames_for(SETTLE_S, RATE));
    Channels input = impulse(frames_for(SECONDS, RATE), 0);
    for (auto& channel : input) channel[0] = hit;
    return instance.run(input)[0];
}

}  // namespace

ClipCurve measure_soft_clip(HostWorld& host)
{
    ClipCurve curve;
    const std::vector<float> reference = ringing(host, REFERENCE_HIT);
    double reference_peak = 0.0;
    for (const float y : reference) reference_peak = std::max(reference_peak, std::fabs(double(y)));
    for (const double level : LEVELS_DBFS) {
        const auto hit =
            float(double(REFERENCE_HIT) * std::pow(10.0, level / 20.0) / reference_peak);
        const double scale = double(hit) / double(REFERENCE_HIT);
        const std::vector<float> out = ringing(host, hit);
        ClipLevel l;
        size_t loudest = 0;
        double linear_energy = 0.0, difference_energy = 0.0, formula_error = 0.0;
        for (size_t i = 0; i < out.size(); ++i) {
            const double d = scale * reference[i], y = out[i];
            if (std::fabs(d) > std::fabs(scale * reference[loudest])) loudest = i;
            linear_energy += d * d;
            difference_energy += (y - d) * (y - d);
            formula_error = std::max(formula_error, std::fabs(y - d / std::sqrt(1.0 + d * d)));
        }
        const double peak = scale * reference[loudest];
        curve.largest_formula_error =
            std::max(curve.largest_formula_error, formula_error / std::fabs(peak));
        l.peak_dbfs = 20.0 * std::log10(std::fabs(peak));
        l.peak_bend = 1.0 - double(out[loudest]) / peak;
        l.ringing_bend = std::sqrt(difference_energy / linear_energy);
        curve.levels.push_back(l);
        if (level == LEVELS_DBFS[std::size(LEVELS_DBFS) - 1]) {
            // The loudest ringing spans the curve: one sample for each of
            // CURVE_POINTS equal steps of its linear values, wherever it lies.
            std::vector<long> taken(CURVE_POINTS, -1);
            for (size_t i = 0; i < out.size(); ++i) {
                const double d = scale * reference[i];
                const auto step =
                    size_t((d / std::fabs(peak) + 1.0) * 0.5 * double(CURVE_POINTS - 1));
                if (step < CURVE_POINTS && taken[step] < 0) taken[step] = long(i);
            }
            for (const long i : taken) {
                if (i < 0) continue;
                curve.linear.push_back(scale * reference[size_t(i)]);
                curve.output.push_back(out[size_t(i)]);
            }
        }
    }
    return curve;
}
