#pragma once

#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>

// The URID map of the small hosts that drive the plug-ins from the tests,
// the benchmarks and the measuring tools: each URI its own number from 1, in
// the order first asked for, for as long as the process runs. One map for
// the whole process, so that a URID taken with map_uri matches what an
// instance mapped for itself.
LV2_URID map_uri(LV2_URID_Map_Handle, const char* uri);

// That map as a host hands it over, and the features a companion is given:
// the map, and nothing else.
LV2_URID_Map* host_urid_map();
const LV2_Feature* const* host_features();
