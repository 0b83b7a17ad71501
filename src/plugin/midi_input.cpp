#include "plugin/midi_input.h"

#include <lv2/midi/midi.h>

#include <cstring>

namespace {

constexpr uint8_t DATA_LIMIT = 0x80;
constexpr uint64_t EVENT_ALIGN = 8;
constexpr uint32_t MESSAGE_SIZE = 3;  // status, key or controller, value

// Controllers that end every note: all sound off, all notes off, and the mode
// changes (omni off/on, mono, poly), which end every note too.
bool ends_all_notes(uint8_t controller)
{
    return controller == 120 || controller >= 123;
}

bool key_event_from(const uint8_t* message, uint32_t size, KeyEvent& event)
{
    if (size < MESSAGE_SIZE || message[1] >= DATA_LIMIT || message[2] >= DATA_LIMIT) {
        return false;
    }
    event.key = message[1];
    switch (lv2_midi_message_type(message)) {
    case LV2_MIDI_MSG_NOTE_ON:
        // A note-on at velocity 0 is the note-off of running status.
        event.action = message[2] == 0 ? KeyAction::RELEASE : KeyAction::PRESS;
        return true;
    case LV2_MIDI_MSG_NOTE_OFF:
        event.action = KeyAction::RELEASE;
        return true;
    case LV2_MIDI_MSG_CONTROLLER:
        event.action = KeyAction::RELEASE_ALL;
        return ends_all_notes(message[1]);
    default:
        return false;
    }
}

// Stamps never go back in time and never leave the block.
uint32_t frame_of(const MidiReader& reader, const LV2_Atom_Event& event)
{
    if (!reader.frame_stamps || event.time.frames <= static_cast<int64_t>(reader.frame)) {
        return reader.frame;
    }
    if (event.time.frames >= static_cast<int64_t>(reader.frame_count)) {
        return reader.frame_count;
    }
    return static_cast<uint32_t>(event.time.frames);
}

}  // namespace

bool map_midi_urids(const LV2_Feature* const* features, MidiUrids& urids)
{
    const LV2_URID_Map* map = nullptr;
    for (int i = 0; features != nullptr && features[i] != nullptr; ++i) {
        if (std::strcmp(features[i]->URI, LV2_URID__map) == 0) {
            map = static_cast<const LV2_URID_Map*>(features[i]->data);
        }
    }
    if (map == nullptr || map->map == nullptr) {
        return false;
    }
    urids.sequence = map->map(map->handle, LV2_ATOM__Sequence);
    urids.frame_time = map->map(map->handle, LV2_ATOM__frameTime);
    urids.midi_event = map->map(map->handle, LV2_MIDI__MidiEvent);
    return true;
}

void begin_midi(MidiReader& reader, const LV2_Atom_Sequence* sequence, uint32_t frame_count,
                const MidiUrids& urids)
{
    reader.frame = 0;
    reader.frame_count = frame_count;
    reader.urids = &urids;
    reader.next = nullptr;
    reader.end = nullptr;
    reader.frame_stamps = true;
    if (sequence == nullptr || sequence->atom.type != urids.sequence ||
        sequence->atom.size < sizeof(LV2_Atom_Sequence_Body)) {
        return;
    }
    const auto* body = reinterpret_cast<const uint8_t*>(&sequence->body);
    reader.next = body + sizeof(LV2_Atom_Sequence_Body);
    reader.end = body + sequence->atom.size;
    // The default unit of a plug-in's run is the frame.
    reader.frame_stamps = sequence->body.unit == 0 || sequence->body.unit == urids.frame_time;
}

bool next_key_event(MidiReader& reader, KeyEvent& event)
{
    while (reader.next != nullptr &&
           static_cast<uint64_t>(reader.end - reader.next) >= sizeof(LV2_Atom_Event)) {
        const auto* atom_event = reinterpret_cast<const LV2_Atom_Event*>(reader.next);
        const uint64_t left = static_cast<uint64_t>(reader.end - reader.next);
        const uint64_t used = sizeof(LV2_Atom_Event) + uint64_t{atom_event->body.size};
        if (used > left) {
            reader.next = nullptr;
            return false;
        }
        // Every event starts on a 64-bit boundary; the last one's padding may
        // be missing.
        const uint64_t padded = (used + EVENT_ALIGN - 1) / EVENT_ALIGN * EVENT_ALIGN;
        reader.next = padded < left ? reader.next + padded : reader.end;
        if (atom_event->body.type != reader.urids->midi_event) {
            continue;
        }
        const auto* message = reinterpret_cast<const uint8_t*>(atom_event + 1);
        if (key_event_from(message, atom_event->body.size, event)) {
            reader.frame = frame_of(reader, *atom_event);
            event.frame = reader.frame;
            return true;
        }
    }
    return false;
}
