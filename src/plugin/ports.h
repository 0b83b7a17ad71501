#pragma once

#include <cstdint>

// Port indices, in the order of the bundle's metadata.
enum PortIndex : uint32_t {
    PORT_IN_1 = 0,
    PORT_IN_2 = 1,
    PORT_IN_3 = 2,
    PORT_IN_4 = 3,
    PORT_OUT_1 = 4,
    PORT_OUT_2 = 5,
    PORT_OUT_3 = 6,
    PORT_OUT_4 = 7,
    PORT_NOTE_1 = 8,
    PORT_NOTE_2 = 9,
    PORT_NOTE_3 = 10,
    PORT_NOTE_4 = 11,
    PORT_TRANSPOSE = 12,
    PORT_DECAY = 13,
    PORT_LEVEL = 14,
    PORT_DAMPING = 15,
    PORT_COUNT = 16,
};
