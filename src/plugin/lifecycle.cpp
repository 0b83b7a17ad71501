#include "plugin/lifecycle.h"

#include <cstddef>
#include <cstring>

#include "engine/engine_path.h"
#include "plugin/companion.h"
#include "plugin/companion_run.h"
#include "plugin/controls.h"
#include "plugin/fp_mode.h"
#include "plugin/instance.h"
#include "plugin/ports.h"
#include "plugin/tuning_worker.h"

namespace {

// A row of a port table, or none past its end: the bound is the table's own
// size, so no count can disagree with it.
template <size_t N>
const PortRow* row_of(const PortRow (&rows)[N], uint32_t port)
{
    return port < N ? &rows[port] : nullptr;
}

// What a port index is in the plug-in the instance is.
const PortRow* port_row(const PluginInstance& instance, uint32_t port)
{
    if (instance.companion == nullptr) {
        return row_of(FOUR_PORTS, port);
    }
    if (instance.companion->kind == PluginKind::MONO) {
        return row_of(MONO_PORTS, port);
    }
    return row_of(STEREO_PORTS, port);
}

}  // namespace

void connect_port(LV2_Handle handle, uint32_t port, void* data)
{
    auto* instance = static_cast<PluginInstance*>(handle);
    const PortRow* row = port_row(*instance, port);
    if (row == nullptr) {
        return;
    }
    const auto* value = static_cast<const float*>(data);
    Companion* companion = instance->companion;
    switch (row->kind) {
    case PortKind::AUDIO_IN:
        if (companion == nullptr) {
            instance->input[row->slot] = value;
        } else {
            (row->slot == 0 ? companion->in_left : companion->in_right) = value;
        }
        break;
    case PortKind::AUDIO_OUT:
        if (companion == nullptr) {
            instance->output[row->slot] = static_cast<float*>(data);
        } else {
            (row->slot == 0 ? companion->out_left : companion->out_right) =
                static_cast<float*>(data);
        }
        break;
    case PortKind::MIDI_IN:
        companion->midi = static_cast<const LV2_Atom_Sequence*>(data);
        break;
    case PortKind::CONTROL:
        instance->controls.control[row->slot].port = value;
        // A companion compares only the ports it found connected; the next
        // run takes every control up again and finds them anew.
        if (companion != nullptr) {
            companion->controls_settled = false;
        }
        break;
    }
}

// The tubes keep ringing across deactivate/activate, so neither touches them.
void activate(LV2_Handle) {}
void deactivate(LV2_Handle) {}

void run(LV2_Handle handle, uint32_t sample_count)
{
    // Hosts call run from their own audio thread, which the load-time mode
    // never reached: without flush-to-zero a decaying tail turns into a long
    // stream of slow subnormals instead of ending at exact zero.
    const FlushToZeroScope mode;
    auto* instance = static_cast<PluginInstance*>(handle);
    if (instance->companion != nullptr) {
        run_companion(*instance, sample_count);
        return;
    }
    apply_controls(*instance->bank, instance->controls);
    process_frames(*instance->bank, instance->input, instance->output, sample_count);
}

const void* extension_data(const char*)
{
    return nullptr;
}

// A companion works out its in-tune lengths after a damping change on the
// host's worker thread, when the host has one.
const void* companion_extension_data(const char* uri)
{
    return uri != nullptr && std::strcmp(uri, LV2_WORKER__interface) == 0 ? &TUNING_WORKER
                                                                          : nullptr;
}
