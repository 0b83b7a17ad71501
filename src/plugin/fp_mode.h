#pragma once

#include <cstdint>

// The floating-point mode the engine is designed for: subnormals flushed to
// zero (so decaying states end at exact zero), round to nearest, NaNs
// propagated, no traps.

using FpMode = uint64_t;

// Replaces the calling thread's whole floating-point control setting with the
// flush-to-zero mode.
void enable_flush_to_zero();

FpMode read_fp_mode();
void write_fp_mode(FpMode mode);

// The value of the control register that enable_flush_to_zero writes.
FpMode flush_to_zero_mode();

// Holds the calling thread in flush-to-zero mode for its lifetime and gives
// the caller its own mode back afterwards.
struct FlushToZeroScope {
    FpMode saved;
    FlushToZeroScope() : saved(read_fp_mode()) { write_fp_mode(flush_to_zero_mode()); }
    ~FlushToZeroScope() { write_fp_mode(saved); }
    FlushToZeroScope(const FlushToZeroScope&) = delete;
    FlushToZeroScope& operator=(const FlushToZeroScope&) = delete;
};
