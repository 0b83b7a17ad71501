#pragma once

#include <lilv/lilv.h>
#include <lv2/urid/urid.h>

#include <array>
#include <map>
#include <string>
#include <vector>

// A minimal LV2 host for measuring the tubes: lilv finds the plug-in on
// LV2_PATH, as any host does, and loads its library from the bundle; presets
// are applied from the bundle's own data through lilv's state API.

inline constexpr int TUBES = 4;
using Channels = std::array<std::vector<float>, TUBES>;

class HostWorld {
public:
    HostWorld();
    ~HostWorld();
    HostWorld(const HostWorld&) = delete;
    HostWorld& operator=(const HostWorld&) = delete;

    // Null when LV2_PATH does not lead to the plug-in.
    const LilvPlugin* plugin() const { return plugin_; }
    LilvWorld* world() const { return world_; }
    LV2_URID_Map* map() { return &map_; }
    std::string library_path() const;

    struct Preset {
        std::string uri;
        std::string label;
        std::string comment;
    };
    std::vector<Preset> presets() const;

private:
    static LV2_URID map_uri(LV2_URID_Map_Handle handle, const char* uri);

    LilvWorld* world_;
    const LilvPlugin* plugin_ = nullptr;
    std::map<std::string, LV2_URID> urids_;
    LV2_URID_Map map_;
};

class TubeInstance {
public:
    TubeInstance(HostWorld& host, double sample_rate);
    ~TubeInstance();
    TubeInstance(const TubeInstance&) = delete;
    TubeInstance& operator=(const TubeInstance&) = delete;

    bool valid() const { return instance_ != nullptr; }
    double sample_rate() const { return sample_rate_; }

    // Control ports by symbol; every control starts at its default.
    void set(const std::string& symbol, float value);
    float get(const std::string& symbol) const;
    void apply_preset(const std::string& uri);

    // Runs the four inputs through in blocks of a host's usual size and
    // returns the four outputs.
    Channels run(const Channels& input);
    Channels run_silence(size_t frames);

private:
    static void set_from_state(const char* symbol, void* self, const void* value, uint32_t size,
                               uint32_t type);

    HostWorld& host_;
    double sample_rate_;
    LilvInstance* instance_ = nullptr;
    std::vector<float> controls_;
    std::map<std::string, uint32_t> index_;
    std::array<uint32_t, TUBES> in_ports_{};
    std::array<uint32_t, TUBES> out_ports_{};
};

// Seconds to frames at a rate.
size_t frames_for(double seconds, double sample_rate);
