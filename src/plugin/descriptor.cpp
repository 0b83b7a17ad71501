#include <lv2/core/lv2.h>

#include "plugin/lifecycle.h"

#ifndef PLUGIN_URI
#error "PLUGIN_URI comes from the build, the one place that names the plug-in"
#endif

static const LV2_Descriptor DESCRIPTOR = {
    PLUGIN_URI, instantiate, connect_port, activate, run, deactivate, cleanup, extension_data,
};

// LV2_SYMBOL_EXPORT gives C linkage and default visibility.
LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index)
{
    return index == 0 ? &DESCRIPTOR : nullptr;
}
