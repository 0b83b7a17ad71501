#include "urid_map.h"

#include <string>
#include <vector>

LV2_URID map_uri(LV2_URID_Map_Handle, const char* uri)
{
    static std::vector<std::string> uris;
    for (size_t i = 0; i < uris.size(); ++i) {
        if (uris[i] == uri) return LV2_URID(i + 1);
    }
    uris.emplace_back(uri);
    return LV2_URID(uris.size());
}

LV2_URID_Map* host_urid_map()
{
    static LV2_URID_Map map{nullptr, map_uri};
    return &map;
}

const LV2_Feature* const* host_features()
{
    static const LV2_Feature map_feature{LV2_URID__map, host_urid_map()};
    static const LV2_Feature* const features[] = {&map_feature, nullptr};
    return features;
}
