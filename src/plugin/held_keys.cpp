#include "plugin/held_keys.h"

namespace {

// Moves a note by whole octaves into lowest..highest.
int into_range(int note, int lowest, int highest)
{
    if (note < lowest) {
        note += (lowest - note + OCTAVE - 1) / OCTAVE * OCTAVE;
    }
    if (note > highest) {
        note -= (note - highest + OCTAVE - 1) / OCTAVE * OCTAVE;
    }
    return note;
}

int find_key(const HeldKeys& keys, uint8_t key)
{
    for (int i = 0; i < keys.count; ++i) {
        if (keys.order[i] == key) {
            return i;
        }
    }
    return -1;
}

void remove_at(HeldKeys& keys, int position)
{
    for (int i = position + 1; i < keys.count; ++i) {
        keys.order[i - 1] = keys.order[i];
    }
    --keys.count;
}

// A key pressed again while held counts as its latest press.
void press(HeldKeys& keys, uint8_t key)
{
    const int position = find_key(keys, key);
    if (position >= 0) {
        remove_at(keys, position);
    }
    keys.order[keys.count++] = key;
}

// The chord of the held keys (at least one is held).
bool make_chord(HeldKeys& keys)
{
    const int used = keys.count < TUBE_COUNT ? keys.count : TUBE_COUNT;
    int notes[TUBE_COUNT];
    for (int i = 0; i < used; ++i) {
        const int key = keys.order[keys.count - used + i];
        int note = into_range(key, keys.lowest_note, keys.highest_note);
        int j = i;
        for (; j > 0 && notes[j - 1] > note; --j) {
            notes[j] = notes[j - 1];
        }
        notes[j] = note;
    }
    bool changed = !keys.has_chord;
    for (int tube = 0; tube < TUBE_COUNT; ++tube) {
        const int raised = notes[tube % used] + tube / used * OCTAVE;
        const auto note =
            static_cast<float>(into_range(raised, keys.lowest_note, keys.highest_note));
        changed = changed || note != keys.chord[tube];
        keys.chord[tube] = note;
    }
    keys.has_chord = true;
    return changed;
}

}  // namespace

void reset_held_keys(HeldKeys& keys, int lowest_note, int highest_note)
{
    keys.count = 0;
    for (float& note : keys.chord) {
        note = 0.0f;
    }
    keys.has_chord = false;
    keys.lowest_note = lowest_note;
    keys.highest_note = highest_note;
}

bool take_key_event(HeldKeys& keys, const KeyEvent& event)
{
    switch (event.action) {
    case KeyAction::PRESS:
        if (event.key >= KEY_COUNT) {
            return false;
        }
        press(keys, event.key);
        return make_chord(keys);
    case KeyAction::RELEASE: {
        const int position = find_key(keys, event.key);
        if (position >= 0) {
            remove_at(keys, position);
        }
        return false;
    }
    case KeyAction::RELEASE_ALL:
        keys.count = 0;
        return false;
    }
    return false;
}
