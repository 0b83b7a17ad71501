#include "vibrato.h"

#include <algorithm>
#include <cmath>

#include "fft.h"
#include "measurements.h"

namespace {

// A long decay, so that the partials followed ring for seconds.
constexpr double DECAY_MS = 10000.0;
constexpr double RENDER_S = 2.6;
// The stretch of the ringing the pitch is read over, and how often.
constexpr double TRACK_FROM_S = 0.1, TRACK_UNTIL_S = 2.5, TRACK_HOP_S = 0.001;
// The partial followed: the one nearest this, where the partials ring longest.
constexpr double FOLLOWED_HZ = 2000.0;
constexpr double FOLLOWED_DB = 40.0;
// Windows of this many periods of the spacing keep the neighbours out.
constexpr double WINDOW_PERIODS = 4.0;
// The bounds searched for the movement's period.
constexpr double SHORTEST_PERIOD_S = 0.05, LONGEST_PERIOD_S = 0.6;
constexpr double NOTES[TUBES] = {36, 48, 60, 84};

Channels ring_long(TubeInstance& instance, double seconds)
{
    instance.set("decay", float(DECAY_MS));
    for (int t = 0; t < TUBES; ++t) instance.set(NOTE_PORTS[t], float(NOTES[t]));
    instance.run_silence(frames_for(SETTLE_S, instance.sample_rate()));
    return instance.run(impulse(frames_for(seconds, instance.sample_rate()), 0));
}

VibratoTrack follow(const std::vector<float>& response, double rate, double note)
{
    VibratoTrack v;
    v.note = note;
    const size_t fft_size = 2 * power_of_two_at_least(response.size());
    const Ringing r = ringing_of(response, rate, note, false, 4.0 * FOLLOWED_HZ, 60, fft_size);
    const double spacing = r.spacing_hz;
    if (!(spacing > 0.0)) {
        v.partial_hz = NAN;
        return v;
    }
    const auto k = size_t(std::max(2.0, std::round(FOLLOWED_HZ / spacing)));
    v.partial_hz = k <= r.partials.size() ? r.partials[k - 1] : NAN;
    if (std::isnan(v.partial_hz)) return v;
    const auto window = size_t(WINDOW_PERIODS / spacing * rate);
    v.window_s = double(window) / rate;
    v.spacing_hz = spacing;
    const size_t from = frames_for(TRACK_FROM_S, rate);
    v.track = frequency_track(response, from, frames_for(TRACK_UNTIL_S, rate), window,
                              frames_for(TRACK_HOP_S, rate), v.partial_hz, rate);
    // Followed while it stands well above what its neighbours leak into the
    // window: until it has fallen FOLLOWED_DB from where the track starts.
    size_t kept = 0;
    while (kept < v.track.db.size() && v.track.db[kept] > v.track.db.front() - FOLLOWED_DB) ++kept;
    v.track.time.resize(kept);
    v.track.hz.resize(kept);
    v.track.db.resize(kept);
    // Times from the hit, not from the start of the stretch.
    for (double& t : v.track.time) t += TRACK_FROM_S;
    v.fit = fit_triangle(v.track.time, v.track.hz, v.window_s, SHORTEST_PERIOD_S, LONGEST_PERIOD_S);
    v.cents_peak_to_peak = cents(v.fit.middle + v.fit.half_swing, v.fit.middle - v.fit.half_swing);
    return v;
}

}  // namespace

std::vector<VibratoAtRate> measure_vibrato(HostWorld& host)
{
    std::vector<VibratoAtRate> rates;
    for (const double rate : {44100.0, 48000.0, 96000.0}) {
        TubeInstance instance(host, rate);
        const Channels out = ring_long(instance, RENDER_S);
        VibratoAtRate at{rate, {}};
        for (int t = 0; t < TUBES; ++t) {
            at.tubes.push_back(follow(out[size_t(t)], rate, note_of(instance, t)));
        }
        rates.push_back(at);
    }
    return rates;
}

std::vector<PartialSplit> measure_partial_split(HostWorld& host)
{
    constexpr double RATE = 48000.0, SHOWN_HZ = 40.0, PICTURE_HZ = 30.0;
    TubeInstance instance(host, RATE);
    const Channels out = ring_long(instance, RENDER_S);
    // The highest tube, whose partials move most in Hz.
    const int tube = TUBES - 1;
    const std::vector<float>& response = out[size_t(tube)];
    const size_t fft_size = 2 * power_of_two_at_least(response.size());
    const double note = note_of(instance, tube);
    // Partials 2 and 3: higher up the lines crowd into one another.
    const Ringing r = ringing_of(response, RATE, note, false, 6000.0, 3, fft_size);
    const Spectrum spectrum = impulse_spectrum(response, 0, response.size(), fft_size, RATE);
    std::vector<PartialSplit> splits;
    for (size_t k = 2; k <= r.partials.size(); ++k) {
        if (std::isnan(r.partials[k - 1])) continue;
        PartialSplit split;
        split.note = note;
        split.partial_hz = r.partials[k - 1];
        split.lines_hz = peaks_in(spectrum, split.partial_hz - SHOWN_HZ,
                                  split.partial_hz + SHOWN_HZ, SPLIT_WITHIN_DB);
        const auto low = size_t((split.partial_hz - PICTURE_HZ) / spectrum.bin_hz);
        const auto high = size_t((split.partial_hz + PICTURE_HZ) / spectrum.bin_hz);
        for (size_t i = low; i <= high; ++i) {
            split.frequency.push_back(double(i) * spectrum.bin_hz);
            split.db.push_back(20.0 * std::log10(std::max(spectrum.magnitude[i], 1e-30)));
        }
        splits.push_back(split);
    }
    return splits;
}

std::vector<HitPair> measure_hit_pairs(HostWorld& host, double vibrato_period_s)
{
    constexpr double RATE = 48000.0, SECONDS = 1.0, DECAY = 1000.0;
    const size_t frames = frames_for(SECONDS, RATE), settle = frames_for(SETTLE_S, RATE);
    const auto response = [&](size_t delay) {
        TubeInstance instance(host, RATE);
        instance.set("decay", float(DECAY));
        for (int t = 0; t < TUBES; ++t) instance.set(NOTE_PORTS[t], float(NOTES[t]));
        instance.run_silence(settle + delay);
        return instance.run(impulse(frames, 0));
    };
    const Channels first = response(0);
    std::vector<HitPair> pairs;
    for (const double shift : {1.0 / 16.0, vibrato_period_s}) {
        const Channels later = response(frames_for(shift, RATE));
        for (int t = 0; t < TUBES; ++t) {
            double energy = 0.0, difference = 0.0;
            for (size_t i = 0; i < frames; ++i) {
                const double a = first[size_t(t)][i], b = later[size_t(t)][i];
                energy += a * a;
                difference += (a - b) * (a - b);
            }
            pairs.push_back(
                {NOTES[t], shift, 10.0 * std::log10(std::max(difference, 1e-300) / energy)});
        }
    }
    return pairs;
}
