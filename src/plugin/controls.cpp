#include "plugin/controls.h"

namespace {

using SetOperation = void (*)(Tube&, float);

// Takes one port up when it differs from its cache, for the tubes first..last
// in order. The port is read a second time for the tubes: a host writing it
// during the call is seen as the newer value, which the cache catches up with
// at the next run.
void take_up(ControlPort& control, TubeBank& bank, int first, int last, SetOperation set)
{
    const float value = *control.port;
    if (value == control.cache) {
        return;
    }
    control.cache = value;
    const float current = *control.port;
    for (int i = first; i <= last; ++i) {
        set_tube(bank, i, set, current);
    }
}

}  // namespace

void reset_controls(Controls& controls)
{
    ControlPort* all[] = {&controls.transpose, &controls.decay,   &controls.level,
                          &controls.damping,   &controls.note[0], &controls.note[1],
                          &controls.note[2],   &controls.note[3]};
    for (ControlPort* control : all) {
        control->port = nullptr;
        control->cache = unset_value();
    }
}

// The order is part of the behaviour: transpose before decay leaves the decay's
// negative feedback in place, and the notes come last so that a note change
// leaves the feedback of its own retune.
void apply_controls(TubeBank& bank, Controls& controls)
{
    const int last = TUBE_COUNT - 1;
    take_up(controls.transpose, bank, 0, last, set_transpose);
    take_up(controls.decay, bank, 0, last, set_decay);
    take_up(controls.level, bank, 0, last, set_level);
    take_up(controls.damping, bank, 0, last, set_damping);
    for (int i = 0; i < TUBE_COUNT; ++i) {
        take_up(controls.note[i], bank, i, i, set_note);
    }
}
