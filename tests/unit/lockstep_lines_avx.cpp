// The read of nine slots in a row as the engine's AVX build makes it, for
// the lines test, which calls it only where the processor has AVX.
#include "lockstep_in_a_row.h"

bool read_in_a_row_avx(TubeBank& bank, const int32_t (&index)[SUB_STEPS][TUBE_COUNT],
                       const float (&f)[SUB_STEPS][TUBE_COUNT], float (&v)[SUB_STEPS][TUBE_COUNT])
{
    return read_in_a_row_as_built(bank, index, f, v);
}
