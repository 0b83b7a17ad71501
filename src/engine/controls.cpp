#include "engine/controls.h"

namespace {

using SetOperation = void (*)(Tube&, float);

// Takes one port up when it differs from its cache. The port is read a
// second time for the tubes: a host writing it during the call is seen as the
// newer value, which the cache catches up with at the next run.
void take_up(ControlPort& control, Tube* const* tubes, int tube_count, SetOperation set)
{
    const float value = *control.port;
    if (value == control.cache) {
        return;
    }
    control.cache = value;
    const float current = *control.port;
    for (int i = 0; i < tube_count; ++i) {
        set(*tubes[i], current);
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
    Tube* const all[TUBE_COUNT] = {&bank.tubes[0], &bank.tubes[1], &bank.tubes[2], &bank.tubes[3]};
    take_up(controls.transpose, all, TUBE_COUNT, set_transpose);
    take_up(controls.decay, all, TUBE_COUNT, set_decay);
    take_up(controls.level, all, TUBE_COUNT, set_level);
    take_up(controls.damping, all, TUBE_COUNT, set_damping);
    for (int i = 0; i < TUBE_COUNT; ++i) {
        take_up(controls.note[i], &all[i], 1, set_note);
    }
}
