#include "plugin/fp_mode.h"

void enable_flush_to_zero()
{
    write_fp_mode(FLUSH_TO_ZERO_MODE);
}

// Runs once when the library is loaded, on the loading thread, before any
// instance exists.
__attribute__((constructor)) static void set_mode_at_load()
{
    enable_flush_to_zero();
}
