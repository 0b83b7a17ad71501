#pragma once

// The six-point read of two sub-steps of the four tubes on 32-bit ARM's NEON
// unit, for processors that have one (engine/read_neon_arm.cpp, the only file
// built for it). NEON's single-precision arithmetic always flushes subnormals
// and rounds to nearest, as the plug-in's mode does on the scalar unit, but it
// gives the default NaN where the scalar unit passes an operand's NaN on. So
// it is used only where its result is certain to be the scalar unit's: in the
// plug-in's mode, and only for results that are not NaN (every operation of
// the read turns a NaN operand into a NaN result, so a result that is not NaN
// had none; a NaN result is computed again by the caller, on the scalar unit).

#if defined(__arm__)

#include <cstdint>

// Whether the processor has NEON and the floating-point unit is in the mode
// where NEON's results equal its own (flush to zero, round to nearest). Asked
// once per call of run: the mode is the caller's.
bool neon_read_exact_here();

// out[j] = the six-point read of lane j: lanes 0..3 read lines 0..3 (lane k
// from first_line + k * DELAY_STRIDE) at slots index[0..3] plus fractions
// f[0..3], lanes 4..7 the same lines at index[4..7], f[4..7]. Returns false,
// with out undefined, if any lane's result is NaN.
bool read_eight_neon(const float* first_line, const int32_t index[8], const float f[8],
                     float out[8]);

#endif
