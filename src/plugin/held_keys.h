#pragma once

#include <cstdint>

#include "engine/tube.h"

// The keys a player holds, and the chord they give the four tubes.
//
// The chord is made when a key goes down, from the keys held at that moment:
// up to four go to tubes 1 to 4 in order of pitch; fewer fill the remaining
// tubes with the held notes again, an octave higher on each round (one key
// gives the note and its next three octaves); of more than four, the four
// pressed last count. Every note is first moved by whole octaves into the
// note range; an octave that would rise past the top of the range stays on the
// note's highest octave inside it, so the top tubes double that note.
//
// Releasing a key never changes the chord. Keys come up one by one, even when
// a chord is let go at once, so a chord that followed each release would end
// on the last key lifted rather than on what was played; instead the tubes
// ring on with the last chord, and the next key pressed after every key is up
// starts a new chord alone. A key pressed while others are held joins them.
//
// Velocity, pitch bend and controllers have no effect. All-sound-off and
// all-notes-off (and the mode messages that imply all notes off) release every
// key, which, as any release, leaves the chord as it is: there is no note
// envelope to stop, and the tubes ring out at the decay set.

inline constexpr int KEY_COUNT = 128;
inline constexpr int OCTAVE = 12;

enum class KeyAction : uint8_t {
    PRESS,
    RELEASE,
    RELEASE_ALL,
};

// One key change, at a frame within the block.
struct KeyEvent {
    uint32_t frame;
    KeyAction action;
    uint8_t key;  // 0 to 127; not used by RELEASE_ALL
};

struct HeldKeys {
    // The held keys, oldest press first; a key is in it at most once.
    uint8_t order[KEY_COUNT];
    int count;
    // The tubes' notes, before transpose; valid once has_chord is set.
    float chord[TUBE_COUNT];
    bool has_chord;
    // The note range every chord note is moved into (at least an octave wide).
    int lowest_note;
    int highest_note;
};

// No key held, no chord yet.
void reset_held_keys(HeldKeys& keys, int lowest_note, int highest_note);

// Takes one key change up; returns true when a tube's note changed (the first
// chord counts as a change of every tube).
bool take_key_event(HeldKeys& keys, const KeyEvent& event);
