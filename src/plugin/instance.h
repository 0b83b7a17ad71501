#pragma once

#include "engine/tube_bank.h"
#include "plugin/controls.h"

struct Companion;

// The host's handle: owns the bank and holds the port pointers and the cached
// control values. Allocated with malloc, so it stays a plain record. The
// four-channel plug-in uses the four inputs and outputs; a companion has its
// track's ports, and what else it needs, in its own record.
struct PluginInstance {
    TubeBank* bank;
    Controls controls;
    const float* input[TUBE_COUNT];
    float* output[TUBE_COUNT];
    Companion* companion;  // null for the four-channel plug-in
};
