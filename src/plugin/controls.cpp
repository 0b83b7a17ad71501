#include "plugin/controls.h"

#include <cmath>

namespace {

// What each control that acts on the tubes does to them: the notes go to
// their own tube, every other control to all four, tube 1 first. The damping
// goes through `damping`: set_damping, or set_damping_later for a companion
// that works its tubes' new distances out on another thread.
void hand_over(TubeBank& bank, ControlId id, float value,
               void (*damping)(Tube&, float) = set_damping)
{
    void (*set)(Tube&, float) = nullptr;
    switch (id) {
    case CONTROL_TRANSPOSE:
        set = set_transpose;
        break;
    case CONTROL_DECAY:
        set = set_decay;
        break;
    case CONTROL_LEVEL:
        set = set_level;
        break;
    case CONTROL_DAMPING:
        set = damping;
        break;
    default:
        set_tube(bank, id - CONTROL_NOTE_1, set_note, value);
        return;
    }
    for (int i = 0; i < TUBE_COUNT; ++i) {
        set_tube(bank, i, set, value);
    }
}

bool is_note(ControlId id)
{
    return id >= CONTROL_NOTE_1 && id < CONTROL_NOTE_1 + TUBE_COUNT;
}

}  // namespace

void reset_controls(Controls& controls)
{
    for (ControlPort& control : controls.control) {
        control.port = nullptr;
        control.cache = unset_value();
    }
}

// The port is read a second time for the tubes: a host writing it during the
// call is seen as the newer value, which the cache catches up with at the
// next run.
void apply_controls(TubeBank& bank, Controls& controls)
{
    for (ControlId id : TAKE_UP_ORDER) {
        ControlPort& control = controls.control[id];
        const float value = *control.port;
        if (value == control.cache) {
            continue;
        }
        control.cache = value;
        hand_over(bank, id, *control.port);
    }
}

float sanitized_value(const ControlPort& control, ControlId id)
{
    const ControlRow& row = CONTROLS[id];
    const float good = std::isnan(control.cache) ? row.default_value : control.cache;
    if (control.port == nullptr) {
        return good;
    }
    const float value = *control.port;
    if (!std::isfinite(value)) {
        return good;
    }
    return value < row.minimum ? row.minimum : value > row.maximum ? row.maximum : value;
}

// Read once: the value clamped is the value handed over.
void apply_companion_controls(TubeBank& bank, Controls& controls, bool notes_from_knobs,
                              bool damping_later)
{
    for (ControlId id : TAKE_UP_ORDER) {
        if (is_note(id) && !notes_from_knobs) {
            continue;
        }
        ControlPort& control = controls.control[id];
        const float value = sanitized_value(control, id);
        if (value == control.cache) {
            continue;
        }
        control.cache = value;
        hand_over(bank, id, value, damping_later ? set_damping_later : set_damping);
    }
}
