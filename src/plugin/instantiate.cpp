#include <cstdlib>
#include <new>

#include "diag/debug_log.h"
#include "engine/tube_bank.h"
#include "plugin/controls.h"
#include "plugin/fp_mode.h"
#include "plugin/instance.h"
#include "plugin/lifecycle.h"

namespace {

constexpr float DEFAULT_NOTES[TUBE_COUNT] = {60.0f, 64.0f, 67.0f, 72.0f};

}  // namespace

// The order of these steps decides each tube's feedback sign, its pending
// request and the lines a new instance logs, so it is kept exactly.
LV2_Handle instantiate(const LV2_Descriptor*, double sample_rate, const char*,
                       const LV2_Feature* const*)
{
    // The default coefficients come from powf and expf, whose last bit follows
    // the rounding mode: compute them in the plug-in's own mode, whatever the
    // host's thread is set to.
    const FlushToZeroScope mode;
    read_log_level();

    auto* instance = static_cast<PluginInstance*>(std::malloc(sizeof(PluginInstance)));
    if (instance == nullptr) {
        return nullptr;
    }
    reset_controls(instance->controls);
    for (int i = 0; i < TUBE_COUNT; ++i) {
        instance->input[i] = nullptr;
        instance->output[i] = nullptr;
    }

    // From the C library like the record, not from new: the library carries
    // no C++ runtime, whose allocator would bring its exception machinery and
    // a pool that is lost each time a host unloads the library.
    void* bank_memory = std::aligned_alloc(alignof(TubeBank), sizeof(TubeBank));
    if (bank_memory == nullptr) {
        std::free(instance);
        return nullptr;
    }
    auto* bank = new (bank_memory) TubeBank();
    for (int i = 0; i < TUBE_COUNT; ++i) {
        set_tube(*bank, i, set_note, DEFAULT_NOTES[i]);
    }
    instance->bank = bank;

    // Only stored: lengths and coefficients keep their 48000 Hz values until
    // the first run retunes every tube at the host's rate.
    const float rate = static_cast<float>(sample_rate);
    for (int i = 0; i < TUBE_COUNT; ++i) {
        set_tube(*bank, i, set_sample_rate, rate);
    }
    return instance;
}

void cleanup(LV2_Handle handle)
{
    auto* instance = static_cast<PluginInstance*>(handle);
    instance->bank->~TubeBank();
    std::free(instance->bank);
    std::free(instance);
}
