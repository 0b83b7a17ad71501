// The read of nine slots in a row as the engine's NEON build makes it, for
// the lines test, which calls it only where the processor has NEON.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"  // the engine's entry points
#include "engine/lockstep_core.h"
#pragma GCC diagnostic pop

#include <cstdint>
#include <cstring>

bool read_in_a_row_neon(TubeBank& bank, const int32_t (&index)[SUB_STEPS][TUBE_COUNT],
                        const float (&f)[SUB_STEPS][TUBE_COUNT], float (&v)[SUB_STEPS][TUBE_COUNT])
{
    I32x4 at[SUB_STEPS];
    F32x4 fraction[SUB_STEPS];
    std::memcpy(at, index, sizeof at);
    std::memcpy(fraction, f, sizeof fraction);
    NeonLanes out[SUB_STEPS];
    if (!lockstep::read_in_a_row(lockstep::BankLines<true>{bank}, at[0], at[1], at[2], at[3],
                                 NeonLanes(fraction[0]), NeonLanes(fraction[1]),
                                 NeonLanes(fraction[2]), NeonLanes(fraction[3]), out[0], out[1],
                                 out[2], out[3])) {
        return false;
    }
    for (int j = 0; j < SUB_STEPS; ++j) {
        const F32x4 lanes = out[j].vector();
        std::memcpy(v[j], &lanes, sizeof lanes);
    }
    return true;
}
