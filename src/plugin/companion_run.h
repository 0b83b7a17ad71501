#pragma once

#include <cstdint>

#include "plugin/instance.h"

// A companion's run: its controls taken up, then the block carried through
// the tubes in pieces split at each key change on the MIDI input, so that a
// note takes effect at its own frame. Called in the plug-in's floating-point
// mode.
void run_companion(PluginInstance& instance, uint32_t frame_count);
