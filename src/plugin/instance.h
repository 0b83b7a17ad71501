#pragma once

#include "engine/tube_bank.h"
#include "plugin/controls.h"

// The host's handle: owns the bank and holds the port pointers and the cached
// control values. Allocated with malloc, so it stays a plain record.
struct PluginInstance {
    TubeBank* bank;
    Controls controls;
    const float* input[TUBE_COUNT];
    float* output[TUBE_COUNT];
};
