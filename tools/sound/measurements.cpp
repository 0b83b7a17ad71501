#include "measurements.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "analysis.h"
#include "fft.h"

const char* const NOTE_PORTS[TUBES] = {"note_1", "note_2", "note_3", "note_4"};

namespace {

// The spacing is fitted over partials 2 to 8: the lowest is moved most by
// the loop's filters and stands apart.
constexpr size_t SPACING_FIRST = 2;
constexpr size_t SPACING_LAST = 8;
// A partial's level is read through a window of this many periods of the
// spacing, which keeps its neighbours out.
constexpr double WINDOW_PERIODS = 6.0;

}  // namespace

Channels impulse(size_t frames, size_t at)
{
    Channels input;
    for (auto& channel : input) {
        channel.assign(frames, 0.0f);
        channel[at] = HIT;
    }
    return input;
}

void apply(TubeInstance& instance, const Setting& setting)
{
    if (!setting.preset.empty()) {
        instance.apply_preset(setting.preset);
        return;
    }
    for (int t = 0; t < TUBES; ++t) instance.set(NOTE_PORTS[t], float(setting.notes[t]));
    instance.set("decay", float(setting.decay_ms));
    instance.set("damping", float(setting.damping_hz));
}

namespace {

// Partials of one impulse response. The search starts from the spacing the
// signal repeats at, not from the note: a tube whose delay cannot reach its
// note rings well away from it.
std::vector<double> partials_of(const std::vector<float>& response, double sample_rate, double note,
                                double max_hz, size_t max_count, size_t fft_size)
{
    const Spectrum spectrum = impulse_spectrum(response, 0, response.size(), fft_size, sample_rate);
    const double spacing = repetition_hz(spectrum, 0.4 * note_hz(note), 2.2 * note_hz(note));
    return find_partials(spectrum, std::isnan(spacing) ? note_hz(note) : spacing, max_hz,
                         max_count);
}

}  // namespace

Ringing ringing_of(const std::vector<float>& response, double sample_rate, double note,
                   bool with_decay, double max_hz, size_t max_count, size_t fft_size)
{
    Ringing r;
    r.note = note;
    r.partials = partials_of(response, sample_rate, note, max_hz, max_count, fft_size);
    r.spacing_hz = partial_spacing(r.partials, SPACING_FIRST, SPACING_LAST);
    r.energy_t60 = energy_decay(response, 0, sample_rate);
    if (!with_decay) return r;
    const double spacing = std::isnan(r.spacing_hz) ? note_hz(note) : r.spacing_hz;
    const auto window = size_t(WINDOW_PERIODS / spacing * sample_rate);
    for (const double f : r.partials) {
        r.t60.push_back(std::isnan(f) ? f : partial_decay(response, 0, f, window, sample_rate).t60);
    }
    return r;
}

double note_of(const TubeInstance& instance, int tube)
{
    return double(instance.get(NOTE_PORTS[tube])) + double(instance.get("transpose"));
}

std::vector<Ringing> ring(HostWorld& host, const Setting& setting, double seconds, bool with_decay,
                          double max_hz, size_t max_count)
{
    TubeInstance instance(host, setting.sample_rate);
    apply(instance, setting);
    instance.run_silence(frames_for(SETTLE_S, setting.sample_rate));
    const size_t frames = frames_for(seconds, setting.sample_rate);
    const Channels out = instance.run(impulse(frames, 0));
    const size_t fft_size = 2 * power_of_two_at_least(frames);
    std::vector<Ringing> tubes;
    for (int t = 0; t < TUBES; ++t) {
        tubes.push_back(ringing_of(out[size_t(t)], setting.sample_rate, note_of(instance, t),
                                   with_decay, max_hz, max_count, fft_size));
    }
    return tubes;
}

double render_seconds(double decay_ms)
{
    return std::min(11.0, 1.2 * decay_ms / 1000.0 + 0.5);
}

namespace {

std::vector<double> spectrum_db(const std::vector<float>& response, double sample_rate,
                                const std::vector<double>& frequencies)
{
    const size_t fft_size = 2 * power_of_two_at_least(response.size());
    const Spectrum s = impulse_spectrum(response, 0, response.size(), fft_size, sample_rate);
    std::vector<double> db;
    for (const double f : frequencies) {
        const auto bin = size_t(std::lround(f / s.bin_hz));
        db.push_back(20.0 * std::log10(std::max(s.magnitude[bin], 1e-30)));
    }
    return db;
}

}  // namespace

std::vector<TuningRow> measure_tuning(HostWorld& host)
{
    constexpr int LOWEST = 24, HIGHEST = 84;
    std::vector<TuningRow> rows;
    for (const double rate : {44100.0, 48000.0, 96000.0}) {
        for (int first = LOWEST; first <= HIGHEST; first += TUBES) {
            Setting setting;
            setting.sample_rate = rate;
            setting.decay_ms = TUNING_DECAY_MS;
            for (int t = 0; t < TUBES; ++t) setting.notes[t] = std::min(first + t, HIGHEST);
            const auto tubes = ring(host, setting, TUNING_SECONDS, false, 0.45 * rate, 10);
            for (int t = 0; t < TUBES && first + t <= HIGHEST; ++t) {
                rows.push_back({rate, tubes[size_t(t)]});
            }
        }
    }
    return rows;
}

std::vector<DecayCase> measure_decay(HostWorld& host)
{
    std::vector<DecayCase> cases;
    for (const double decay : {100.0, 1000.0, 10000.0}) {
        for (const double damping : {3000.0, 12000.0, 20000.0}) {
            Setting setting;
            for (int t = 0; t < TUBES; ++t) setting.notes[t] = DECAY_NOTES[t];
            setting.decay_ms = decay;
            setting.damping_hz = damping;
            cases.push_back(
                {decay, damping,
                 ring(host, setting, render_seconds(decay), true, DECAY_MAX_HZ, DECAY_PARTIALS)});
        }
    }
    return cases;
}

std::vector<PresetResult> measure_presets(HostWorld& host)
{
    std::vector<PresetResult> results;
    for (const auto& preset : host.presets()) {
        TubeInstance probe(host, 48000.0);
        probe.apply_preset(preset.uri);
        Setting setting;
        setting.preset = preset.uri;
        const double decay = probe.get("decay");
        results.push_back(
            {preset, decay, probe.get("damping"), probe.get("level"),
             ring(host, setting, render_seconds(decay), true, DECAY_MAX_HZ, DECAY_PARTIALS)});
    }
    return results;
}

PolarityResult measure_polarity(HostWorld& host)
{
    constexpr double RATE = 48000.0, DECAY = 2000.0, OTHER_DECAY = 1000.0, SECONDS = 3.0;
    constexpr double MAX_HZ = 3000.0;
    PolarityResult result;
    result.decay_ms = DECAY;
    TubeInstance instance(host, RATE);
    instance.set("decay", float(DECAY));
    const size_t settle = frames_for(SETTLE_S, RATE), frames = frames_for(SECONDS, RATE);
    instance.run_silence(settle);
    result.note = note_of(instance, 0);
    const size_t fft_size = 2 * power_of_two_at_least(frames);

    // Before: the glide has ended, so the loop is as a note change leaves it.
    const std::vector<float> before = instance.run(impulse(frames, 0))[0];
    // After: the decay moved away and back, to the very same setting.
    instance.set("decay", float(OTHER_DECAY));
    instance.run_silence(1);
    instance.set("decay", float(DECAY));
    const std::vector<float> after = instance.run(impulse(frames, 0))[0];
    // Restored: the note moved a semitone and back, each glide left to end.
    instance.set("note_1", float(result.note + 1.0));
    instance.run_silence(settle);
    instance.set("note_1", float(result.note));
    instance.run_silence(settle);
    const std::vector<float> restored = instance.run(impulse(frames, 0))[0];

    result.before = ringing_of(before, RATE, result.note, true, MAX_HZ, 10, fft_size);
    result.restored = ringing_of(restored, RATE, result.note, true, MAX_HZ, 10, fft_size);
    // Inverted, the loop rings at the odd multiples of half the note: its
    // partials are those of a note an octave lower, the even ones missing.
    result.after = ringing_of(after, RATE, result.note, true, MAX_HZ, 10, fft_size);
    const Spectrum s = impulse_spectrum(after, 0, after.size(), fft_size, RATE);
    result.after_lowest_hz = peak_in(s, 0.25 * note_hz(result.note), 0.75 * note_hz(result.note));

    for (double f = 20.0; f <= 1600.0; f += 1.0) result.frequency.push_back(f);
    result.before_db = spectrum_db(before, RATE, result.frequency);
    result.after_db = spectrum_db(after, RATE, result.frequency);
    result.restored_db = spectrum_db(restored, RATE, result.frequency);
    return result;
}

std::vector<GlideTrack> measure_startup(HostWorld& host)
{
    // Clicks further apart than the longest delay (the whole line, 1500
    // frames), so that each comes out before the next goes in; new instances
    // with the click train shifted fill in the times between.
    constexpr double SECONDS = 0.6, CLICK_PERIOD_S = 0.04, SHIFT_S = 0.005;
    constexpr double DECAY_MS = 10.0, SETTLED_FRACTION = 0.01, FINAL_S = 0.15;
    std::vector<GlideTrack> tracks;
    for (const double rate : {44100.0, 48000.0, 96000.0}) {
        GlideTrack track;
        track.sample_rate = rate;
        track.decay_ms = DECAY_MS;
        track.click_period_s = CLICK_PERIOD_S;
        track.settled_fraction = SETTLED_FRACTION;
        track.pitch_hz.resize(TUBES);
        const size_t frames = frames_for(SECONDS, rate), period = frames_for(CLICK_PERIOD_S, rate);
        std::vector<std::pair<size_t, std::array<double, TUBES>>> points;
        for (size_t shift = 0; shift < period; shift += frames_for(SHIFT_S, rate)) {
            TubeInstance instance(host, rate);
            // The shortest decay: a click comes out once, not again and again.
            instance.set("decay", float(DECAY_MS));
            Channels input;
            for (auto& channel : input) {
                channel.assign(frames, 0.0f);
                for (size_t at = shift; at < frames; at += period) channel[at] = HIT;
            }
            const Channels output = instance.run(input);
            for (int t = 0; t < TUBES; ++t) track.notes[t] = note_of(instance, t);
            for (size_t at = shift; at + period <= frames; at += period) {
                std::array<double, TUBES> pitch{};
                for (size_t t = 0; t < TUBES; ++t) {
                    pitch[t] = rate / (arrival(output[t], at, at + period) - double(at));
                }
                points.emplace_back(at, pitch);
            }
        }
        std::sort(points.begin(), points.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [at, pitch] : points) {
            track.time.push_back(double(at) / rate);
            for (size_t t = 0; t < TUBES; ++t) track.pitch_hz[t].push_back(pitch[t]);
        }
        for (int t = 0; t < TUBES; ++t) {
            const auto& pitch = track.pitch_hz[size_t(t)];
            // The final pitch: the median over the last stretch.
            std::vector<double> last;
            for (size_t i = 0; i < pitch.size(); ++i) {
                if (track.time[i] >= track.time.back() - FINAL_S) last.push_back(pitch[i]);
            }
            std::nth_element(last.begin(), last.begin() + long(last.size() / 2), last.end());
            track.final_hz[t] = last[last.size() / 2];
            // Settled: every click sent from then on comes back at the final pitch.
            track.settled_s[t] = track.time.front();
            for (size_t i = 0; i + 1 < pitch.size(); ++i) {
                if (std::fabs(pitch[i] / track.final_hz[t] - 1.0) > SETTLED_FRACTION) {
                    track.settled_s[t] = track.time[i + 1];
                }
            }
        }
        tracks.push_back(track);
    }
    return tracks;
}

std::vector<float> startup_hit(HostWorld& host, double& sample_rate)
{
    sample_rate = 48000.0;
    TubeInstance instance(host, sample_rate);
    instance.set("decay", 1000.0f);
    const Channels out =
        instance.run(impulse(frames_for(0.8, sample_rate), frames_for(0.01, sample_rate)));
    return out[0];
}

FpModeChange measure_load_mode(HostWorld& host)
{
    FpModeChange change;
#if defined(__x86_64__) || defined(__i386__)
    // Every exception masked, as a thread starts, but rounding upward.
    constexpr unsigned ROUND_UP = 0x4000u, ALL_MASKED = 0x1F80u;
    _mm_setcsr(ALL_MASKED | ROUND_UP);
    change.before = _mm_getcsr();
    {
        TubeInstance instance(host, 48000.0);
    }
    change.after = _mm_getcsr();
    change.measured = true;
#else
    (void)host;
#endif
    return change;
}

std::vector<WeakLowest> measure_weak_lowest(HostWorld& host)
{
    constexpr double RATE = 48000.0;
    // C1, and C#1 beside it, whose lowest partial the tuning table lists.
    const double notes[] = {24, 25};
    std::vector<WeakLowest> found;
    for (const double note : notes) {
        TubeInstance instance(host, RATE);
        instance.set("decay", float(TUNING_DECAY_MS));
        instance.set(NOTE_PORTS[0], float(note));
        instance.run_silence(frames_for(SETTLE_S, RATE));
        const size_t frames = frames_for(TUNING_SECONDS, RATE);
        const std::vector<float> response = instance.run(impulse(frames, 0))[0];
        const size_t fft_size = 2 * power_of_two_at_least(frames);
        const Ringing r = ringing_of(response, RATE, note, false, 0.45 * RATE, 10, fft_size);
        const Spectrum s = impulse_spectrum(response, 0, frames, fft_size, RATE);
        WeakLowest w;
        w.sample_rate = RATE;
        w.note = note;
        w.hz = w.over_floor_db = w.t60 = NAN;
        const double second = r.partials.size() > 1 ? r.partials[1] : NAN;
        const std::vector<double> peaks =
            peaks_in(s, 0.3 * r.spacing_hz, second - 0.4 * r.spacing_hz, 0.0);
        if (!peaks.empty()) {
            w.hz = peaks.front();
            const auto db = [&](size_t i) {
                return 20.0 * std::log10(std::max(s.magnitude[i], 1e-300));
            };
            const auto top = size_t(std::lround(w.hz / s.bin_hz));
            size_t left = top, right = top;
            while (left > 1 && s.magnitude[left - 1] <= s.magnitude[left]) --left;
            while (right + 2 < s.magnitude.size() && s.magnitude[right + 1] <= s.magnitude[right])
                ++right;
            w.over_floor_db = db(top) - std::max(db(left), db(right));
            const auto window = size_t(6.0 / r.spacing_hz * RATE);
            w.t60 = partial_decay(response, 0, w.hz, window, RATE).t60;
        }
        found.push_back(w);
    }
    return found;
}
