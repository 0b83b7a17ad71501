#pragma once

#include <lv2/core/lv2.h>

// The functions the host reaches through the descriptors. The plug-ins share
// all but instantiate, which decides what an instance is, and
// extension_data: the companions have a worker.

LV2_Handle instantiate(const LV2_Descriptor* descriptor, double sample_rate,
                       const char* bundle_path, const LV2_Feature* const* features);
LV2_Handle instantiate_mono(const LV2_Descriptor* descriptor, double sample_rate,
                            const char* bundle_path, const LV2_Feature* const* features);
LV2_Handle instantiate_stereo(const LV2_Descriptor* descriptor, double sample_rate,
                              const char* bundle_path, const LV2_Feature* const* features);
void connect_port(LV2_Handle handle, uint32_t port, void* data);
void activate(LV2_Handle handle);
void run(LV2_Handle handle, uint32_t sample_count);
void deactivate(LV2_Handle handle);
void cleanup(LV2_Handle handle);
const void* extension_data(const char* uri);
const void* companion_extension_data(const char* uri);
