#include <lv2/core/lv2.h>

#include "plugin/lifecycle.h"

#if !defined(PLUGIN_URI) || !defined(PLUGIN_URI_MONO) || !defined(PLUGIN_URI_STEREO)
#error "The plug-ins' URIs come from the build, the one place that names them"
#endif

// In the order of PluginKind.
static const LV2_Descriptor DESCRIPTORS[] = {
    {PLUGIN_URI, instantiate, connect_port, activate, run, deactivate, cleanup, extension_data},
    {PLUGIN_URI_MONO, instantiate_mono, connect_port, activate, run, deactivate, cleanup,
     companion_extension_data},
    {PLUGIN_URI_STEREO, instantiate_stereo, connect_port, activate, run, deactivate, cleanup,
     companion_extension_data},
};

// LV2_SYMBOL_EXPORT gives C linkage and default visibility.
LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index)
{
    return index < sizeof(DESCRIPTORS) / sizeof(DESCRIPTORS[0]) ? &DESCRIPTORS[index] : nullptr;
}
