#pragma once

#include "engine/tube_bank.h"

// One control port as the instance sees it: where the host put the value and
// the value last taken up from it.
struct ControlPort {
    const float* port;
    float cache;
};

// The eight control ports, in the order they are taken up by apply_controls.
struct Controls {
    ControlPort transpose;
    ControlPort decay;
    ControlPort level;
    ControlPort damping;
    ControlPort note[TUBE_COUNT];
};

// Marks every cache unset so that the next apply_controls takes every port up.
void reset_controls(Controls& controls);

// Start of every run: hands each changed control value to the tubes.
void apply_controls(TubeBank& bank, Controls& controls);
