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

#define LANES(type, name) alignas(32) type name[TUBE_COUNT]

struct TubeBank {
    LANES(float, note);
    LANES(float, transpose);
    LANES(float, decay);
    LANES(float, damping_hz);
    LANES(float, level_db);
    LANES(float, gain);
    LANES(float, damping_coef);
    LANES(float, damping_state);
    LANES(float, highpass_coef);
    LANES(float, highpass_state);
    LANES(float, sample_rate);
    LANES(float, feedback);
    LANES(float, read_pos);
    LANES(uint64_t, write_index);
    LANES(float, decay_time);
    LANES(uint64_t, length);
    LANES(uint64_t, glide_target);
    LANES(uint64_t, pending_length);
    LANES(bool, gliding);
    LANES(float, read_speed);
    LANES(float, write_gain);
    LANES(float, lfo_depth);
    LANES(float, lfo_step);
    LANES(float, lfo_phase);
    LANES(float, integ);
    // One tube's last four inputs (oldest first) and its four sub-step
    // positions are kept together, as the record has them.
    alignas(32) float in_hist[TUBE_COUNT][4];
    alignas(32) float phases[TUBE_COUNT][4];
    // Slots 6000..6004 of each line always hold copies of slots 0..4, so the
    // six-point read never wraps.
    alignas(32) float delay[TUBE_COUNT][DELAY_STRIDE];

    // Builds tubes 1 to 4 in order, each completely before the next, with
    // every delay line cleared.
    TubeBank();
};

#undef LANES

// One tube of the bank as a record, and the record written back.
Tube load_tube(const TubeBank& bank, int tube);
void store_tube(TubeBank& bank, int tube, const Tube& record);

// Applies a set operation to one tube of the bank.
void set_tube(TubeBank& bank, int tube, void (*operation)(Tube&, float), float value);
