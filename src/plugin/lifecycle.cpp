#include "plugin/lifecycle.h"

#include "engine/engine_path.h"
#include "plugin/controls.h"
#include "plugin/fp_mode.h"
#include "plugin/instance.h"
#include "plugin/ports.h"

void connect_port(LV2_Handle handle, uint32_t port, void* data)
{
    auto* instance = static_cast<PluginInstance*>(handle);
    Controls& controls = instance->controls;
    const auto* value = static_cast<const float*>(data);
    switch (port) {
    case PORT_IN_1:
    case PORT_IN_2:
    case PORT_IN_3:
    case PORT_IN_4:
        instance->input[port - PORT_IN_1] = value;
        break;
    case PORT_OUT_1:
    case PORT_OUT_2:
    case PORT_OUT_3:
    case PORT_OUT_4:
        instance->output[port - PORT_OUT_1] = static_cast<float*>(data);
        break;
    case PORT_NOTE_1:
    case PORT_NOTE_2:
    case PORT_NOTE_3:
    case PORT_NOTE_4:
        controls.note[port - PORT_NOTE_1].port = value;
        break;
    case PORT_TRANSPOSE:
        controls.transpose.port = value;
        break;
    case PORT_DECAY:
        controls.decay.port = value;
        break;
    case PORT_LEVEL:
        controls.level.port = value;
        break;
    case PORT_DAMPING:
        controls.damping.port = value;
        break;
    default:
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
    apply_controls(*instance->bank, instance->controls);
    process_frames(*instance->bank, instance->input, instance->output, sample_count);
}

const void* extension_data(const char*)
{
    return nullptr;
}
