#include "engine/engine_path.h"

#include "engine/lockstep.h"
#include "engine/tube_by_tube.h"

#if defined(__arm__)
#include <sys/auxv.h>
#endif

namespace {

using FramesFunction = void (*)(TubeBank&, const float* const*, float* const*, uint32_t);

FramesFunction function_for(EnginePath path)
{
    switch (path) {
#if defined(__x86_64__) || defined(__aarch64__) || defined(__arm__)
    case EnginePath::LOCKSTEP_FMA:
        return lockstep_frames_fma;
#endif
#if defined(LOCKSTEP_EXACT_BUILT)
    case EnginePath::LOCKSTEP_EXACT:
        return lockstep_frames_exact;
#endif
#if defined(LOCKSTEP_EXACT_AVX_BUILT)
    case EnginePath::LOCKSTEP_EXACT_AVX:
        return lockstep_frames_exact_avx;
#endif
#if defined(__arm__)
    case EnginePath::LOCKSTEP_NEON:
#if defined(LOCKSTEP_EXACT_BUILT)
        if (!engine_path_available(EnginePath::LOCKSTEP_FMA)) {
            return lockstep_frames_neon;
        }
#endif
        return lockstep_frames_neon_fma;
#endif
    default:
        return tube_by_tube_frames;
    }
}

EnginePath fastest_path()
{
#if defined(OSTREVAN_PINNED_ENGINE)
    // A build for tests and benchmarks may pin one path.
    return EnginePath::OSTREVAN_PINNED_ENGINE;
#else
    if (engine_path_available(EnginePath::LOCKSTEP_NEON)) {
        return EnginePath::LOCKSTEP_NEON;
    }
    if (engine_path_available(EnginePath::LOCKSTEP_FMA)) {
        return EnginePath::LOCKSTEP_FMA;
    }
    if (engine_path_available(EnginePath::LOCKSTEP_EXACT_AVX)) {
        return EnginePath::LOCKSTEP_EXACT_AVX;
    }
    if (engine_path_available(EnginePath::LOCKSTEP_EXACT)) {
        return EnginePath::LOCKSTEP_EXACT;
    }
    return EnginePath::TUBE_BY_TUBE;
#endif
}

EnginePath chosen = EnginePath::TUBE_BY_TUBE;
FramesFunction chosen_function = tube_by_tube_frames;

// The choice is made once, when the library is loaded, before any instance
// exists; run only follows the pointer.
__attribute__((constructor)) void choose_at_load()
{
    chosen = fastest_path();
    chosen_function = function_for(chosen);
}

}  // namespace

bool engine_path_available(EnginePath path)
{
    switch (path) {
    case EnginePath::TUBE_BY_TUBE:
        return true;
    case EnginePath::LOCKSTEP_EXACT:
#if defined(LOCKSTEP_EXACT_BUILT)
        return true;
#else
        return false;
#endif
    case EnginePath::LOCKSTEP_FMA:
#if defined(__x86_64__)
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx") && __builtin_cpu_supports("fma");
#elif defined(__aarch64__) || defined(__ARM_FEATURE_FMA)
        return true;
#elif defined(__arm__)
        // The kernel's word for a unit with the vfma instruction: VFPv4.
        return (getauxval(AT_HWCAP) & HWCAP_ARM_VFPv4) != 0;
#else
        return false;
#endif
    case EnginePath::LOCKSTEP_NEON:
#if defined(__arm__)
        return (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;
#else
        return false;
#endif
    case EnginePath::LOCKSTEP_EXACT_AVX:
#if defined(LOCKSTEP_EXACT_AVX_BUILT)
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx");
#else
        return false;
#endif
    }
    return false;
}

EnginePath engine_path()
{
    return chosen;
}

void process_frames(TubeBank& bank, const float* const input[TUBE_COUNT],
                    float* const output[TUBE_COUNT], uint32_t frame_count)
{
    chosen_function(bank, input, output, frame_count);
}

void process_frames_on(EnginePath path, TubeBank& bank, const float* const input[TUBE_COUNT],
                       float* const output[TUBE_COUNT], uint32_t frame_count)
{
    function_for(path)(bank, input, output, frame_count);
}
