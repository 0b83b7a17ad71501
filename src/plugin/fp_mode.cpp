#include "plugin/fp_mode.h"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace {

#if defined(__x86_64__) || defined(__i386__)
// MXCSR: flush-to-zero (bit 15), denormals-are-zero (bit 6), all six
// exception masks (bits 7-12); rounding bits 13-14 clear (nearest) and no
// sticky flags.
constexpr FpMode MODE = 0x8000u | 0x0040u | 0x1F80u;
#elif defined(__aarch64__)
// FPCR: only FZ (bit 24); default-NaN off, round to nearest, no traps.
constexpr FpMode MODE = 1ull << 24;
#else
constexpr FpMode MODE = 0;
#endif

}  // namespace

FpMode flush_to_zero_mode()
{
    return MODE;
}

FpMode read_fp_mode()
{
#if defined(__x86_64__) || defined(__i386__)
    return _mm_getcsr();
#elif defined(__aarch64__)
    uint64_t fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    return fpcr;
#else
    return 0;
#endif
}

void write_fp_mode(FpMode mode)
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_setcsr(static_cast<unsigned int>(mode));
#elif defined(__aarch64__)
    __asm__ volatile("msr fpcr, %0" : : "r"(mode));
#else
    (void)mode;
#endif
}

void enable_flush_to_zero()
{
    write_fp_mode(MODE);
}

// Runs once when the library is loaded, on the loading thread, before any
// instance exists.
__attribute__((constructor)) static void set_mode_at_load()
{
    enable_flush_to_zero();
}
