#pragma once

#include <lv2/atom/atom.h>
#include <lv2/worker/worker.h>

#include <cstdint>

#include "plugin/controls.h"
#include "plugin/held_keys.h"
#include "plugin/midi_input.h"
#include "plugin/output_mix.h"
#include "plugin/port_rows.h"

// What a companion has beyond the four-channel plug-in: its track's audio
// ports, the MIDI input and the keys held on it, the output mix, and room to
// work in, all allocated once at instantiate.

// The most frames carried through the tubes in one go; a longer run is
// carried in pieces of this size.
inline constexpr uint32_t COMPANION_CHUNK = 256;

// How long the tubes' rate, damping and decay must rest before the worker
// is asked for every note's distance (about 85 ms at 48 kHz): while the
// damping is automated each table would be overtaken before it was done,
// and the worker thread would spend itself on nothing.
inline constexpr uint32_t TABLE_AFTER_FRAMES = 4096;

struct Companion {
    PluginKind kind;
    const float* in_left;
    const float* in_right;  // the stereo companion's only
    float* out_left;
    float* out_right;
    const LV2_Atom_Sequence* midi;
    MidiUrids urids;
    // The host's worker, if it offers one (plugin/tuning_worker.h), and the
    // table of every note's distance: asked for and not answered yet; in the
    // tubes' memos for their present rate, damping and decay.
    const LV2_Worker_Schedule* worker;
    bool table_asked;
    bool table_current;
    // Frames run since the rate, damping or decay last changed, up to
    // TABLE_AFTER_FRAMES: the table is asked for once they rest.
    uint32_t frames_at_rest;
    HeldKeys keys;
    OutputMix mix;
    // Whether the last full take-up of the controls left a number in the cache
    // of every control in play (in_play, companion_run.cpp), and no cache has
    // been forgotten and no control port connected since.
    bool controls_settled;
    // What a run that changes nothing compares, one entry per ControlId, as
    // that take-up found them: each control in play that has a port, and a
    // port that never differs from its cache (NO_CONTROL) for the others.
    const ControlPort* watched[CONTROL_COUNT];
    // Where the two inputs are summed for the tubes (Sum), and where the
    // tubes ring before they are mixed into the outputs.
    float summed[COMPANION_CHUNK];
    float tube_out[TUBE_COUNT][COMPANION_CHUNK];
};
