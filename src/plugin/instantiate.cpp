#include <cstdlib>
#include <cstring>
#include <new>

#include "diag/debug_log.h"
#include "engine/tube_bank.h"
#include "plugin/companion.h"
#include "plugin/controls.h"
#include "plugin/fp_mode.h"
#include "plugin/instance.h"
#include "plugin/lifecycle.h"

namespace {

void release(PluginInstance* instance)
{
    if (instance->bank != nullptr) {
        instance->bank->~TubeBank();
        std::free(instance->bank);
    }
    std::free(instance->companion);
    std::free(instance);
}

// The host's worker, an optional feature: null without it.
const LV2_Worker_Schedule* find_worker(const LV2_Feature* const* features)
{
    for (int i = 0; features != nullptr && features[i] != nullptr; ++i) {
        if (std::strcmp(features[i]->URI, LV2_WORKER__schedule) == 0) {
            return static_cast<const LV2_Worker_Schedule*>(features[i]->data);
        }
    }
    return nullptr;
}

// A companion's record, at the defaults of its controls. Its caches stay
// unset: the first run takes every control up.
Companion* make_companion(PluginKind kind, const MidiUrids& urids,
                          const LV2_Worker_Schedule* worker)
{
    auto* companion = static_cast<Companion*>(std::malloc(sizeof(Companion)));
    if (companion == nullptr) {
        return nullptr;
    }
    companion->kind = kind;
    companion->in_left = nullptr;
    companion->in_right = nullptr;
    companion->out_left = nullptr;
    companion->out_right = nullptr;
    companion->midi = nullptr;
    companion->urids = urids;
    companion->worker = worker;
    companion->controls_settled = false;
    companion->table_asked = false;
    companion->table_current = false;
    companion->frames_at_rest = 0;
    reset_held_keys(companion->keys, static_cast<int>(CONTROLS[CONTROL_NOTE_1].minimum),
                    static_cast<int>(CONTROLS[CONTROL_NOTE_1].maximum));
    companion->mix = output_mix(CONTROLS[CONTROL_WIDTH].default_value,
                                CONTROLS[CONTROL_MIX].default_value);
    return companion;
}

// The order of these steps decides each tube's feedback sign, its pending
// request and the lines a new instance logs, so it is kept exactly, and is
// the same for every plug-in.
LV2_Handle make_instance(PluginKind kind, double sample_rate, const LV2_Feature* const* features)
{
    // The companions read MIDI, whose event types only the host's URID map
    // can name: without it there is no instance, and nothing is allocated.
    MidiUrids urids{};
    if (kind != PluginKind::FOUR && !map_midi_urids(features, urids)) {
        return nullptr;
    }

    // The default coefficients come from powf and expf, whose last bit follows
    // the rounding mode: compute them in the plug-in's own mode, whatever the
    // host's thread is set to.
    const FlushToZeroScope mode;
    read_log_level();

    auto* instance = static_cast<PluginInstance*>(std::malloc(sizeof(PluginInstance)));
    if (instance == nullptr) {
        return nullptr;
    }
    instance->bank = nullptr;
    instance->companion = nullptr;
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
        release(instance);
        return nullptr;
    }
    auto* bank = new (bank_memory) TubeBank();
    instance->bank = bank;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        set_tube(*bank, i, set_note, CONTROLS[CONTROL_NOTE_1 + i].default_value);
    }

    // Only stored: lengths and coefficients keep their 48000 Hz values until
    // the first run retunes every tube at the host's rate.
    const float rate = static_cast<float>(sample_rate);
    for (int i = 0; i < TUBE_COUNT; ++i) {
        set_tube(*bank, i, set_sample_rate, rate);
    }

    if (kind != PluginKind::FOUR) {
        instance->companion = make_companion(kind, urids, find_worker(features));
        if (instance->companion == nullptr) {
            release(instance);
            return nullptr;
        }
    }
    return instance;
}

}  // namespace

LV2_Handle instantiate(const LV2_Descriptor*, double sample_rate, const char*,
                       const LV2_Feature* const* features)
{
    return make_instance(PluginKind::FOUR, sample_rate, features);
}

LV2_Handle instantiate_mono(const LV2_Descriptor*, double sample_rate, const char*,
                            const LV2_Feature* const* features)
{
    return make_instance(PluginKind::MONO, sample_rate, features);
}

LV2_Handle instantiate_stereo(const LV2_Descriptor*, double sample_rate, const char*,
                              const LV2_Feature* const* features)
{
    return make_instance(PluginKind::STEREO, sample_rate, features);
}

void cleanup(LV2_Handle handle)
{
    release(static_cast<PluginInstance*>(handle));
}
