#pragma once

// A frame's reads with each lane's slots in a row, as the lockstep engine
// makes them when built with the options of the translation unit that
// includes this, in plain arrays ([sub-step][lane]) that any build can pass.

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"  // the engine's entry points
#include "engine/lockstep_core.h"
#pragma GCC diagnostic pop

#include <cstdint>
#include <cstring>

static bool read_in_a_row_as_built(TubeBank& bank, const int32_t (&index)[SUB_STEPS][TUBE_COUNT],
                                   const float (&f)[SUB_STEPS][TUBE_COUNT],
                                   float (&v)[SUB_STEPS][TUBE_COUNT])
{
    I32x4 at[SUB_STEPS];
    F32x4 fraction[SUB_STEPS];
    std::memcpy(at, index, sizeof at);
    std::memcpy(fraction, f, sizeof fraction);
    F32x8 v01, v23;
    if (!lockstep::read_in_a_row(lockstep::BankLines<true>{bank}, at[0], at[1], at[2], at[3],
                                 join(fraction[0], fraction[1]), join(fraction[2], fraction[3]),
                                 v01, v23)) {
        return false;
    }
    std::memcpy(v[0], &v01, sizeof v01);
    std::memcpy(v[2], &v23, sizeof v23);
    return true;
}
