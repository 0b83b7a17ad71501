#pragma once

#include <cstdint>

#include "engine/tube.h"

// The four tubes of one instance in one block, laid out for the lockstep
// engine: every field of the tube record is an array of four lanes, tube 1 in
// lane 0, so that one vector load gives the field of all four tubes; the four
// delay lines lie side by side. The tube-by-tube engine and the set
// operations see one tube at a time through load_tube and store_tube.

// Each delay line is padded to a whole number of 32-byte rows, so every line
// starts aligned.
inline constexpr uint64_t DELAY_STRIDE = (DELAY_SLOTS + 7) / 8 * 8;

struct TubeBank {
    // Each field of the tube record (engine/tube.h) as one array of four
    // lanes.
#define TUBE_BANK_FIELD(kind, name) alignas(32) RecordKinds::kind name[TUBE_COUNT];
    TUBE_FIELDS(TUBE_BANK_FIELD)
#undef TUBE_BANK_FIELD
    // Slots 6000..6004 of each line always hold copies of slots 0..4, so the
    // six-point read never wraps.
    alignas(32) float delay[TUBE_COUNT][DELAY_STRIDE];

    // Whether the lockstep engine has found every lane within the ranges it
    // keeps, and only the engine has written the bank since. Any record
    // stored back (store_tube: a set operation, a test's edit, the
    // tube-by-tube engine) clears it, so the bank is checked again.
    bool lanes_checked = false;

    // Frames for which the lockstep engine's last finding that the lanes may
    // make their reads first (lockstep_core.h, reads_first) still holds: a
    // finding holds for a block of frames, which calls of a few frames each
    // share. Cleared with lanes_checked, and by any call of the engine that
    // does not read first.
    uint32_t reads_first_frames = 0;

    // Builds tubes 1 to 4 in order, each completely before the next, with
    // every delay line cleared.
    TubeBank();
};

// One tube of the bank as a record, and the record written back.
Tube load_tube(const TubeBank& bank, int tube);
void store_tube(TubeBank& bank, int tube, const Tube& record);

// What the worker is asked for one tube of the bank, read from its lanes: the
// audio thread asks for all four at every damping change, and a whole record
// carries the memo of every note.
TuningQuestion tuning_question(const TubeBank& bank, int tube);

// Applies a set operation to one tube of the bank.
void set_tube(TubeBank& bank, int tube, void (*operation)(Tube&, float), float value);
