#include "midi_sequence.h"

#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>

#include "urid_map.h"

LV2_Atom_Sequence* empty_midi_sequence(void* buffer)
{
    auto* sequence = static_cast<LV2_Atom_Sequence*>(buffer);
    sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
    sequence->atom.type = map_uri(nullptr, LV2_ATOM__Sequence);
    sequence->body.unit = map_uri(nullptr, LV2_ATOM__frameTime);
    sequence->body.pad = 0;
    return sequence;
}

bool append_midi(LV2_Atom_Sequence* sequence, uint32_t capacity, int64_t frame, uint8_t status,
                 uint8_t data1, uint8_t data2)
{
    struct {
        LV2_Atom_Event event;
        uint8_t message[3];
    } e;
    e.event.time.frames = frame;
    e.event.body.size = 3;
    e.event.body.type = map_uri(nullptr, LV2_MIDI__MidiEvent);
    e.message[0] = status;
    e.message[1] = data1;
    e.message[2] = data2;
    // The atom library counts the capacity from the sequence's body on.
    return lv2_atom_sequence_append_event(sequence, capacity - uint32_t(sizeof(LV2_Atom)), &e.event) !=
           nullptr;
}
