#include "control_changes.h"

#include <algorithm>
#include <cmath>

#include "analysis.h"
#include "fft.h"
#include "measurements.h"

namespace {

constexpr double RATE = 48000.0;
// The shortest decay: a click sent in comes out once, its echoes far weaker.
constexpr double CLICK_DECAY_MS = 10.0;

// Tube 1 rests at `from`; its note is set to `to`, and a click goes in
// `offset` frames after the change (before it, when negative: what is read
// out just after a change was written before it). Returns the loop delay
// the click met, in frames, and when it came out, in frames after the
// change.
struct ClickDelay {
    double delay, out_at;
};
ClickDelay click_after_change(HostWorld& host, double from, double to, long offset, size_t longest)
{
    TubeInstance instance(host, RATE);
    instance.set("decay", float(CLICK_DECAY_MS));
    instance.set(NOTE_PORTS[0], float(from));
    const size_t change = frames_for(SETTLE_S, RATE);
    const auto sent = size_t(long(change) + offset);
    // The echoes come a whole delay after the pulse, so the pulse is the
    // largest output within one and a half of the longest delay.
    const size_t until = sent + longest + longest / 2 + 4;
    const Channels input = impulse(until + 2, sent);
    Channels before, after;
    for (int t = 0; t < TUBES; ++t) {
        const auto& in = input[size_t(t)];
        before[size_t(t)].assign(in.begin(), in.begin() + long(change));
        after[size_t(t)].assign(in.begin() + long(change), in.end());
    }
    std::vector<float> out = instance.run(before)[0];
    instance.set(NOTE_PORTS[0], float(to));
    const std::vector<float> rest = instance.run(after)[0];
    out.insert(out.end(), rest.begin(), rest.end());
    const double at = arrival(out, sent, until);
    return {at - double(sent), at - double(change)};
}

double rest_delay(HostWorld& host, double note)
{
    // Long after a change to the note itself: the loop is at rest there.
    return click_after_change(host, note, note, long(frames_for(0.2, RATE)), frames_for(0.05, RATE))
        .delay;
}

}  // namespace

std::vector<GlideTime> measure_glide_times(HostWorld& host)
{
    // Within this much of the delay at rest, the glide is over (the read
    // position's slow movement alone stays well inside it).
    constexpr double AT_REST_FRAMES = 1.0;
    const double changes[][2] = {{60, 61}, {60, 72}, {60, 84}, {60, 59}, {60, 48},
                                 {60, 24}, {36, 37}, {72, 73}, {72, 60}, {84, 48}};
    std::vector<GlideTime> times;
    for (const auto& change : changes) {
        GlideTime g;
        g.from = change[0];
        g.to = change[1];
        const double before = rest_delay(host, g.from), after = rest_delay(host, g.to);
        g.delay_before_ms = 1000.0 * before / RATE;
        g.delay_after_ms = 1000.0 * after / RATE;
        const auto longest = size_t(std::ceil(std::max(before, after)));
        // The last click that still meets a delay away from the one at rest,
        // by halving: before it the tube glides, from the next frame on it
        // rests.
        long gliding = -long(longest), resting = long(frames_for(SETTLE_S, RATE));
        while (resting - gliding > 1) {
            const long mid = (gliding + resting) / 2;
            const ClickDelay c = click_after_change(host, g.from, g.to, mid, longest);
            (std::fabs(c.delay - after) > AT_REST_FRAMES ? gliding : resting) = mid;
        }
        // The glide ends where the last click still gliding was read out.
        g.seconds = click_after_change(host, g.from, g.to, gliding, longest).out_at / RATE;
        times.push_back(g);
    }
    return times;
}

std::vector<GlideEnd> measure_glide_ends(HostWorld& host)
{
    constexpr double SECONDS = 3.0, DECAY = 1000.0;
    const double notes[] = {36, 48, 60, 72, 84};
    std::vector<GlideEnd> ends;
    const size_t frames = frames_for(SECONDS, RATE);
    const size_t fft_size = 2 * power_of_two_at_least(frames);
    const auto pitch_after = [&](double from, double to) {
        TubeInstance instance(host, RATE);
        instance.set("decay", float(DECAY));
        instance.set(NOTE_PORTS[0], float(from));
        instance.run_silence(frames_for(SETTLE_S, RATE));
        instance.set(NOTE_PORTS[0], float(to));
        instance.run_silence(frames_for(SETTLE_S, RATE));
        const Channels out = instance.run(impulse(frames, 0));
        const Ringing r = ringing_of(out[0], RATE, to, false, 0.45 * RATE, 10, fft_size);
        return cents(r.spacing_hz, note_hz(to));
    };
    for (const double note : notes) {
        ends.push_back({note, pitch_after(note - 12, note), pitch_after(note + 12, note)});
    }
    return ends;
}

std::vector<PresetChange> measure_preset_changes(HostWorld& host)
{
    constexpr double SECONDS = 2.0;
    std::vector<PresetChange> changes;
    const size_t frames = frames_for(SECONDS, RATE);
    const size_t fft_size = 2 * power_of_two_at_least(frames);
    const std::vector<HostWorld::Preset> presets = host.presets();
    // From the defaults, then from each preset in turn.
    std::vector<HostWorld::Preset> starts{{"", "the defaults", ""}};
    starts.insert(starts.end(), presets.begin(), presets.end());
    for (const auto& start : starts) {
        for (const auto& preset : presets) {
            TubeInstance instance(host, RATE);
            if (!start.uri.empty()) instance.apply_preset(start.uri);
            instance.run_silence(frames_for(SETTLE_S, RATE));
            PresetChange change;
            change.start = start.label;
            change.label = preset.label;
            change.decay_before_ms = instance.get("decay");
            double before[TUBES];
            for (int t = 0; t < TUBES; ++t) before[t] = note_of(instance, t);
            instance.apply_preset(preset.uri);
            change.decay_after_ms = instance.get("decay");
            instance.run_silence(frames_for(SETTLE_S, RATE));
            const Channels out = instance.run(impulse(frames, 0));
            for (int t = 0; t < TUBES; ++t) {
                const double note = note_of(instance, t);
                change.note_changed[t] = note != before[t];
                // An inverted loop repeats every second trip only: its
                // strongest repetition lies an octave below the note.
                const Spectrum s = impulse_spectrum(out[size_t(t)], 0, frames, fft_size, RATE);
                change.repetition_hz[t] =
                    repetition_hz(s, 0.4 * note_hz(note), 2.2 * note_hz(note));
                change.inverted[t] = change.repetition_hz[t] < 0.75 * note_hz(note);
            }
            changes.push_back(change);
        }
    }
    return changes;
}
