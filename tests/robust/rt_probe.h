#pragma once

// A probe that interposes the C library's allocation, file and lock calls
// (and the C++ allocation operators) for a whole test process, and counts
// the calls that the probing thread makes between rt_probe_begin and
// rt_probe_end. It is linked ahead of the C library, so the plug-in's shared
// object, loaded with dlopen, binds its calls to the probe just as it would
// bind them to any other interposer a host preloads.

#include <cstddef>

enum RtProbeCall {
    RT_MALLOC,
    RT_CALLOC,
    RT_REALLOC,
    RT_FREE,
    RT_ALIGNED_ALLOC,
    RT_NEW,
    RT_DELETE,
    RT_MMAP,
    RT_MUNMAP,
    RT_FOPEN,
    RT_FCLOSE,
    RT_FDOPEN,
    RT_OPEN,
    RT_FSTAT,
    RT_CLOSE,
    RT_READ,
    RT_WRITE,
    RT_FREAD,
    RT_FWRITE,
    RT_FPUTC,
    RT_FPUTS,
    RT_VFPRINTF,
    RT_FFLUSH,
    RT_MUTEX_LOCK,
    RT_RWLOCK_LOCK,
    RT_SEM_WAIT,
    RT_COND_WAIT,
    RT_GUARD_ACQUIRE,
    RT_SLEEP,
    RT_CALL_COUNT
};

struct RtProbeCounts {
    unsigned long calls[RT_CALL_COUNT];
    // Allocations that returned memory, and releases of non-null pointers:
    // equal when a window leaks nothing.
    unsigned long blocks_obtained;
    unsigned long blocks_released;
};

extern "C" {

// True when the probe's definitions are the ones the process binds to.
bool rt_probe_active();

// Starts counting the calls of the calling thread, from zero.
void rt_probe_begin();

// Stops counting and returns what was counted since rt_probe_begin.
RtProbeCounts rt_probe_end();

// Makes the nth allocation (1 = the next one) that the probing thread asks
// for fail, as if memory had run out; 0 makes none fail. Returns whether an
// injected failure has happened since the last call.
bool rt_probe_fail_allocation(unsigned long nth);

const char* rt_probe_call_name(int call);
}
