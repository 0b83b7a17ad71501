#pragma once

#include <string>
#include <vector>

#include "tube_host.h"

// What a change of the controls on a running instance does: the glide's
// duration, the pitch it ends at, and the loops a preset leaves inverted.

// How long a tube takes from a note change to ringing steadily at the new
// note, from `from` to `to` (MIDI notes) at 48 kHz.
struct GlideTime {
    double from = 0.0, to = 0.0;
    double seconds = 0.0;
    double delay_before_ms = 0.0, delay_after_ms = 0.0;  // the loop delay at rest
};
std::vector<GlideTime> measure_glide_times(HostWorld& host);

// The pitch a tube rings at after a glide up to `note` (from an octave
// below) and after one down to it (from an octave above), in cents from the
// note, at 48 kHz.
struct GlideEnd {
    double note = 0.0;
    double up_cents = 0.0, down_cents = 0.0;
};
std::vector<GlideEnd> measure_glide_ends(HostWorld& host);

// A preset applied to an instance at rest, after the start-up glide, at its
// defaults or at another preset (`start`): per tube, whether the preset changed its note and
// whether its loop ends up inverted.
struct PresetChange {
    std::string start, label;
    double decay_before_ms = 0.0, decay_after_ms = 0.0;
    bool note_changed[TUBES] = {};
    bool inverted[TUBES] = {};
    double repetition_hz[TUBES] = {};  // what the inversion is read from
};
std::vector<PresetChange> measure_preset_changes(HostWorld& host);
