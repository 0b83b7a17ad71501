#pragma once

#include <lv2/atom/atom.h>

#include <cstdint>

// The MIDI a small host hands a companion for one run: an atom sequence
// stamped in frames, emptied before each run and filled in frame order, as
// the tests, the benchmarks and the measuring tools all play their keys.
//
// The buffer must be 8-byte aligned and at least sizeof(LV2_Atom_Sequence)
// bytes long; its size in bytes is the capacity the appends keep within.
LV2_Atom_Sequence* empty_midi_sequence(void* buffer);

// Appends a three-byte message at `frame`. Returns false, and appends
// nothing, when the message would not fit in `capacity` bytes.
bool append_midi(LV2_Atom_Sequence* sequence, uint32_t capacity, int64_t frame, uint8_t status,
                 uint8_t data1, uint8_t data2);
