#pragma once

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>

#include <cstdint>

#include "plugin/held_keys.h"

// The key changes in one block's MIDI input, read from the host's atom
// sequence in order, each at a frame within the block.

// The URIDs the reading compares against, mapped once at instantiate.
struct MidiUrids {
    LV2_URID sequence;
    LV2_URID frame_time;
    LV2_URID midi_event;
};

// Maps the URIDs through the host's urid:map; false when the host gave none,
// in which case the instance cannot read its input and must not be made.
bool map_midi_urids(const LV2_Feature* const* features, MidiUrids& urids);

// A walk through one block's sequence.
struct MidiReader {
    const uint8_t* next;  // the next event's header
    const uint8_t* end;   // just past the sequence's contents
    uint32_t frame;       // the frame of the last key change given
    uint32_t frame_count;
    bool frame_stamps;  // false: stamps in another unit, read as no time at all
    const MidiUrids* urids;
};

// Starts a walk; a missing sequence, or an atom that is not one, reads as
// empty.
void begin_midi(MidiReader& reader, const LV2_Atom_Sequence* sequence, uint32_t frame_count,
                const MidiUrids& urids);

// Gives the next key change and returns true, or returns false at the end.
// A host's mistakes cannot take the reading outside the sequence or the
// block: an event whose size runs past the sequence ends it; a frame before
// the previous key change's is read as that one's, a frame past the block as
// its end (frame_count), and events stamped in beats at the previous frame.
// Messages that are not note-on, note-off or all-notes/sound-off, or are too
// short, or carry a data byte of 128 or more, are passed over.
bool next_key_event(MidiReader& reader, KeyEvent& event);
