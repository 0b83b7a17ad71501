#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

// The floating-point mode the engine is designed for: subnormals flushed to
// zero (so decaying states end at exact zero), round to nearest, NaNs
// propagated, no traps.
//
// The mode is read and written around every run, so those two are inline:
// one instruction each rather than calls.

// The engine's output is only the same on every processor when every one of
// them computes in the same mode. A processor whose control register this
// file does not know would build and run in whatever mode its thread came
// with, so it is refused here instead.
#if defined(__i386__) && !defined(__SSE2_MATH__)
#error \
    "32-bit x86 must compute with SSE2 (-msse2 -mfpmath=sse): MXCSR does not govern x87 arithmetic"
#elif !defined(__x86_64__) && !defined(__i386__) && !defined(__aarch64__) && !defined(__arm__)
#error "No flush-to-zero mode is known for this processor: add its control register to fp_mode.h"
#elif defined(__arm__) && !defined(__ARM_FP)
#error "32-bit ARM without a hardware floating-point unit has no FPSCR to set"
#endif

using FpMode = uint64_t;

#if defined(__x86_64__) || defined(__i386__)
// MXCSR: flush-to-zero (bit 15), denormals-are-zero (bit 6), all six
// exception masks (bits 7-12); rounding bits 13-14 clear (nearest) and no
// sticky flags.
inline constexpr FpMode FLUSH_TO_ZERO_MODE = 0x8000u | 0x0040u | 0x1F80u;
#elif defined(__aarch64__)
// FPCR: only FZ (bit 24); default-NaN off, round to nearest, no traps.
inline constexpr FpMode FLUSH_TO_ZERO_MODE = 1ull << 24;
#elif defined(__arm__)
// FPSCR: only FZ (bit 24), which on VFP flushes subnormal operands and
// results alike, as FTZ with DAZ does on x86. Default-NaN (bit 25) off,
// RMode (bits 22-23) nearest, short vectors (Len and Stride, bits 16-21)
// off so that each operation acts on one register, every trap enable
// (bits 8-12 and 15) off, and no condition or sticky flags.
inline constexpr FpMode FLUSH_TO_ZERO_MODE = 1u << 24;
#endif

// The bits of the control register that record what happened rather than
// set how to compute: MXCSR's sticky exception flags; FPSCR's comparison,
// saturation and exception flags. FPCR holds none (they live in FPSR).
#if defined(__x86_64__) || defined(__i386__)
inline constexpr FpMode FP_STATUS_FLAGS = 0x3Fu;
#elif defined(__aarch64__)
inline constexpr FpMode FP_STATUS_FLAGS = 0;
#elif defined(__arm__)
inline constexpr FpMode FP_STATUS_FLAGS = 0xF800009Fu;
#endif

// Replaces the calling thread's whole floating-point control setting with the
// flush-to-zero mode.
void enable_flush_to_zero();

inline FpMode read_fp_mode()
{
#if defined(__x86_64__) || defined(__i386__)
    return _mm_getcsr();
#elif defined(__aarch64__)
    uint64_t fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    return fpcr;
#elif defined(__arm__)
    uint32_t fpscr;
    __asm__ volatile("vmrs %0, fpscr" : "=r"(fpscr));
    return fpscr;
#endif
}

inline void write_fp_mode(FpMode mode)
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_setcsr(static_cast<unsigned int>(mode));
#elif defined(__aarch64__)
    __asm__ volatile("msr fpcr, %0" : : "r"(mode));
#elif defined(__arm__)
    // The whole register, flags included, so that a saved mode comes back
    // exactly as the caller had it.
    __asm__ volatile("vmsr fpscr, %0" : : "r"(static_cast<uint32_t>(mode)));
#endif
}

// The value of the control register that enable_flush_to_zero writes.
inline FpMode flush_to_zero_mode()
{
    return FLUSH_TO_ZERO_MODE;
}

// Whether the caller's mode goes back without the register being read after
// the run. On x86-64, reading MXCSR there waits for the run's last operation
// (the register holds their flags), and the host's next steps wait with it;
// writing the saved value does not. Measured side by side on a host thread
// already in the plug-in's mode (plugin_bench --host-in-mode): a call of one
// frame took 84.5 ns at rest written back unread, against 91.2 read first,
// and 99.3 against 104.3 gliding; longer blocks the same.
#if defined(__x86_64__) || defined(__i386__)
inline constexpr bool RESTORE_UNREAD = true;
#else
inline constexpr bool RESTORE_UNREAD = false;
#endif

// Holds the calling thread in flush-to-zero mode for its lifetime and gives
// the caller its own mode back afterwards, flags and all. Many hosts' audio
// threads already compute in this mode: such a thread's register is not
// written on the way in (its status flags change no result). On the way out
// it is written back where the run switched it, where the run raised a flag
// the caller did not have, and on x86-64 always (RESTORE_UNREAD).
struct FlushToZeroScope {
    FpMode saved;
    bool switched;
    FlushToZeroScope()
        : saved(read_fp_mode()), switched((saved & ~FP_STATUS_FLAGS) != FLUSH_TO_ZERO_MODE)
    {
        if (switched) {
            write_fp_mode(FLUSH_TO_ZERO_MODE);
        }
    }
    ~FlushToZeroScope()
    {
        if (RESTORE_UNREAD || switched || read_fp_mode() != saved) {
            write_fp_mode(saved);
        }
    }
    FlushToZeroScope(const FlushToZeroScope&) = delete;
    FlushToZeroScope& operator=(const FlushToZeroScope&) = delete;
};
