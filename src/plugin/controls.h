#pragma once

#include <cstdint>
#include <cstring>

#include "engine/tube_bank.h"
#include "plugin/ports.h"

// One control port as the instance sees it: where the host put the value and
// the value last taken up from it.
struct ControlPort {
    const float* port;
    float cache;
};

// Every control of the table, by ControlId; a plug-in uses those it has.
struct Controls {
    ControlPort control[CONTROL_COUNT];
    // Whether apply_controls last left a number (no NaN) in the cache of
    // every control that acts on the tubes. Then a port whose bits are its
    // cache's asks for nothing, which one pass over the bits can tell.
    bool caches_are_numbers;
};

// The bits by which a port differs from its cache: none when the port holds
// the very value last taken up, which is how a run that changes nothing is
// found in one pass (or-ed over the controls, no branch per control).
inline uint32_t port_differs(const ControlPort& control)
{
    uint32_t port, cache;
    std::memcpy(&port, control.port, sizeof port);
    std::memcpy(&cache, &control.cache, sizeof cache);
    return port ^ cache;
}

inline bool is_note(int id)
{
    return id >= CONTROL_NOTE_1 && id < CONTROL_NOTE_1 + TUBE_COUNT;
}

// Marks every cache unset so that the next take-up takes every port up.
void reset_controls(Controls& controls);

// Start of every run of the four-channel plug-in: hands each changed control
// value to the tubes, in the take-up order, as the host wrote it.
void apply_controls(TubeBank& bank, Controls& controls);

// A value as a companion takes it from its port: clamped to the declared
// range; a value that is not a finite number is passed over for the last good
// one (the default before there was any), so that a host's glitch never
// silences a tube for good.
float sanitized_value(const ControlPort& control, ControlId id);

// Start of every run of a companion: the same hand-over as apply_controls,
// of sanitized values, and of the note controls only when the notes come
// from the knobs. With damping_later a damping change leaves the lengths
// where they are (set_damping_later): the caller asks for the new distances
// elsewhere.
void apply_companion_controls(TubeBank& bank, Controls& controls, bool notes_from_knobs,
                              bool damping_later);
