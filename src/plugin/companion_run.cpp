#include "plugin/companion_run.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/engine_path.h"
#include "plugin/companion.h"
#include "plugin/controls.h"
#include "plugin/tuning_worker.h"
#include "plugin/four_frames.h"

namespace {

bool chosen(float enumeration_value)
{
    return enumeration_value >= 0.5f;
}

// The one place where the tuning control reaches the tubes, called at the
// first run and whenever the control changes, after the other controls are
// taken up: in tune, each tube asks for the fractional loop length that puts
// its partials' spacing on its note, and that length depends on the decay
// and damping the run brings (a preset's, at the first run). As the
// four-channel plug-in, for the whole sub-steps that plug-in asks for: a new
// tube's tuning, so a companion that starts that way leaves its tubes exactly
// as the four-channel plug-in leaves its own.
void take_up_tuning(TubeBank& bank, bool in_tune)
{
    const float tuning = in_tune ? TUNING_IN_TUNE : TUNING_WHOLE_STEPS;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        set_tube(bank, i, set_tuning, tuning);
    }
}

// The held keys' chord to the tubes. A tube whose note stays is not touched
// (set_note compares first): it neither glides nor leaves an inversion that a
// decay change put on it.
void play_chord(TubeBank& bank, const HeldKeys& keys)
{
    for (int i = 0; i < TUBE_COUNT; ++i) {
        set_tube(bank, i, set_note, keys.chord[i]);
    }
}

// Every tube asks for its length again now: the damping's retune, when no
// worker takes it.
void retune_now(TubeBank& bank)
{
    for (int i = 0; i < TUBE_COUNT; ++i) {
        Tube tube = load_tube(bank, i);
        request_length(tube);
        store_tube(bank, i, tube);
    }
}

// Takes up a control that does not act on the tubes; true when it changed.
bool take_up(Controls& controls, ControlId id)
{
    ControlPort& control = controls.control[id];
    const float value = sanitized_value(control, id);
    if (value == control.cache) {
        return false;
    }
    control.cache = value;
    return true;
}

// Carries frames first..last through the tubes and into the outputs.
void carry(PluginInstance& instance, uint32_t first, uint32_t last)
{
    Companion& c = *instance.companion;
    const bool mono = c.kind == PluginKind::MONO;
    const bool split = !mono && chosen(instance.controls.control[CONTROL_INPUT].cache);
    float* tube_out[TUBE_COUNT] = {c.tube_out[0], c.tube_out[1], c.tube_out[2], c.tube_out[3]};
    while (first < last) {
        const uint32_t count = last - first < COMPANION_CHUNK ? last - first : COMPANION_CHUNK;
        const float* left = c.in_left + first;
        const float* right = mono ? left : c.in_right + first;
        const float* tube_in[TUBE_COUNT] = {left, left, left, left};
        if (split) {
            tube_in[1] = right;
            tube_in[3] = right;
        } else if (!mono) {
            float* summed = c.summed;
            for_frames(count, [&](uint32_t f, auto v) {
                put_frames(summed, f, frames_at(left, f, v) + frames_at(right, f, v));
            });
            for (const float*& in : tube_in) {
                in = c.summed;
            }
        }
        process_frames(*instance.bank, tube_in, tube_out, count);
        mix_frames(c.mix, left, right, tube_out, c.out_left + first, c.out_right + first, count);
        first += count;
    }
}

// The controls the companion takes up: every one it has, but the notes when
// they come from the keys.
bool in_play(const Companion& c, const Controls& controls, int id)
{
    if ((CONTROLS[id].plugins & plugin_bit(c.kind)) == 0) {
        return false;
    }
    return !is_note(id) || !chosen(controls.control[CONTROL_NOTES_FROM].cache);
}

// Stands for a control that is out of play or has no port: its port holds
// its cache's very bits.
const float NO_CONTROL_VALUE = 0.0f;
const ControlPort NO_CONTROL = {&NO_CONTROL_VALUE, 0.0f};

// Whether a full take-up would change nothing: the caches are numbers
// (settled), and each control in play has no port or holds its cache's very
// bits. A cache only ever holds a value taken up, finite and within the
// control's range, which the port then gives back unchanged. Which controls
// are in play and have a port only changes with a take-up or a connection,
// so the last take-up's list (watched) is all there is to compare: one pass
// without a branch.
bool controls_unchanged(const Companion& c)
{
    if (!c.controls_settled) {
        return false;
    }
    uint32_t differ = 0;
#pragma GCC unroll 16
    for (const ControlPort* control : c.watched) {
        differ |= port_differs(*control);
    }
    return differ == 0;
}

// Every control taken up from its port, in the order that decides what the
// tubes get.
void take_up_controls(PluginInstance& instance)
{
    Companion& c = *instance.companion;
    Controls& controls = instance.controls;
    TubeBank& bank = *instance.bank;

    const bool mix_changed = take_up(controls, CONTROL_MIX);
    if (take_up(controls, CONTROL_WIDTH) || mix_changed) {
        c.mix =
            output_mix(controls.control[CONTROL_WIDTH].cache, controls.control[CONTROL_MIX].cache);
    }
    if (c.kind == PluginKind::STEREO) {
        take_up(controls, CONTROL_INPUT);
    }
    const bool tuning_changed = take_up(controls, CONTROL_TUNING);
    bool play_held_chord = false;
    if (take_up(controls, CONTROL_NOTES_FROM)) {
        if (chosen(controls.control[CONTROL_NOTES_FROM].cache)) {
            // To the keyboard: the last chord played, if any, at once.
            play_held_chord = c.keys.has_chord;
        } else {
            // Back to the knobs: every note control is taken up again.
            for (int i = 0; i < TUBE_COUNT; ++i) {
                controls.control[CONTROL_NOTE_1 + i].cache = unset_value();
            }
        }
    }
    const bool from_keys = chosen(controls.control[CONTROL_NOTES_FROM].cache);
    const float damping_before = controls.control[CONTROL_DAMPING].cache;
    const float decay_before = controls.control[CONTROL_DECAY].cache;
    const bool worker = c.worker != nullptr;
    apply_companion_controls(bank, controls, !from_keys, worker);
    const bool damping_changed = controls.control[CONTROL_DAMPING].cache != damping_before;
    const bool in_tune = !chosen(controls.control[CONTROL_TUNING].cache);
    if (tuning_changed) {
        take_up_tuning(bank, in_tune);
    }
    // In tune, the damping moves every tube's length: the lengths keep their
    // places until the worker's answer comes (set_damping_later), or follow
    // now if the worker cannot be asked.
    if (worker && damping_changed && in_tune && !ask_worker_for_distances(instance)) {
        retune_now(bank);
    }
    // Either change empties the tubes' memos: the next table is for the new
    // conditions.
    if (damping_changed || controls.control[CONTROL_DECAY].cache != decay_before) {
        c.table_current = false;
        c.frames_at_rest = 0;
    }
    if (play_held_chord) {
        play_chord(bank, c.keys);
    }
    bool settled = true;
    for (int id = 0; id < CONTROL_COUNT; ++id) {
        const ControlPort& control = controls.control[id];
        const bool watch = in_play(c, controls, id);
        settled = settled && (!watch || !std::isnan(control.cache));
        c.watched[id] = watch && control.port != nullptr ? &control : &NO_CONTROL;
    }
    c.controls_settled = settled;
}

}  // namespace

void run_companion(PluginInstance& instance, uint32_t frame_count)
{
    Companion& c = *instance.companion;
    // Most runs change no control: one pass over the ports' bits finds that.
    if (!controls_unchanged(c)) {
        take_up_controls(instance);
    }
    // At every run, not only when a control moves: an overtaken table is
    // asked for again.
    if (!chosen(instance.controls.control[CONTROL_TUNING].cache) &&
        c.frames_at_rest >= TABLE_AFTER_FRAMES) {
        ask_worker_for_table(instance);
    }
    c.frames_at_rest = frame_count < TABLE_AFTER_FRAMES - c.frames_at_rest
                           ? c.frames_at_rest + frame_count
                           : TABLE_AFTER_FRAMES;
    TubeBank& bank = *instance.bank;
    const bool from_keys = chosen(instance.controls.control[CONTROL_NOTES_FROM].cache);

    // Keys are followed whatever the notes come from, so that turning to
    // MIDI plays what was last played.
    MidiReader reader;
    begin_midi(reader, c.midi, frame_count, c.urids);
    KeyEvent event;
    uint32_t done = 0;
    while (next_key_event(reader, event)) {
        carry(instance, done, event.frame);
        done = event.frame;
        if (take_key_event(c.keys, event) && from_keys) {
            play_chord(bank, c.keys);
        }
    }
    carry(instance, done, frame_count);
}
