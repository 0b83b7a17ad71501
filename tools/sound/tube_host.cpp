#include "tube_host.h"

#include <lv2/atom/atom.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

// The URI comes from the build, the one place that names the plug-in.
constexpr const char* PLUGIN = PLUGIN_URI;
constexpr const char* PSET_PRESET = "http://lv2plug.in/ns/ext/presets#Preset";
constexpr const char* RDFS_LABEL = "http://www.w3.org/2000/01/rdf-schema#label";
constexpr const char* RDFS_COMMENT = "http://www.w3.org/2000/01/rdf-schema#comment";
// Hosts commonly hand plug-ins blocks of this size.
constexpr size_t BLOCK = 256;

struct NodeFree {
    void operator()(LilvNode* node) const { lilv_node_free(node); }
};
using Node = std::unique_ptr<LilvNode, NodeFree>;

std::string text_of(LilvWorld* world, const LilvNode* subject, const char* predicate)
{
    Node p(lilv_new_uri(world, predicate));
    Node value(lilv_world_get(world, subject, p.get(), nullptr));
    return value ? lilv_node_as_string(value.get()) : "";
}

}  // namespace

size_t frames_for(double seconds, double sample_rate)
{
    return size_t(std::llround(seconds * sample_rate));
}

HostWorld::HostWorld() : world_(lilv_world_new())
{
    map_.handle = this;
    map_.map = map_uri;
    lilv_world_load_all(world_);
    Node uri(lilv_new_uri(world_, PLUGIN));
    plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri.get());
}

HostWorld::~HostWorld()
{
    lilv_world_free(world_);
}

LV2_URID HostWorld::map_uri(LV2_URID_Map_Handle handle, const char* uri)
{
    auto& urids = static_cast<HostWorld*>(handle)->urids_;
    const auto found = urids.find(uri);
    if (found != urids.end()) return found->second;
    const auto id = static_cast<LV2_URID>(urids.size() + 1);
    urids.emplace(uri, id);
    return id;
}

std::string HostWorld::library_path() const
{
    char* path =
        lilv_file_uri_parse(lilv_node_as_uri(lilv_plugin_get_library_uri(plugin_)), nullptr);
    std::string result = path != nullptr ? path : "";
    lilv_free(path);
    return result;
}

std::vector<HostWorld::Preset> HostWorld::presets() const
{
    std::vector<Preset> result;
    Node preset_class(lilv_new_uri(world_, PSET_PRESET));
    LilvNodes* related = lilv_plugin_get_related(plugin_, preset_class.get());
    LILV_FOREACH(nodes, i, related)
    {
        const LilvNode* preset = lilv_nodes_get(related, i);
        lilv_world_load_resource(world_, preset);
        result.push_back({lilv_node_as_uri(preset), text_of(world_, preset, RDFS_LABEL),
                          text_of(world_, preset, RDFS_COMMENT)});
    }
    lilv_nodes_free(related);
    // lilv keeps no fixed order; the tables must come out the same each time.
    std::sort(result.begin(), result.end(),
              [](const Preset& a, const Preset& b) { return a.uri < b.uri; });
    return result;
}

TubeInstance::TubeInstance(HostWorld& host, double sample_rate)
    : host_(host), sample_rate_(sample_rate)
{
    const LilvPlugin* plugin = host.plugin();
    const uint32_t ports = lilv_plugin_get_num_ports(plugin);
    controls_.assign(ports, 0.0f);
    std::vector<float> defaults(ports, NAN);
    lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, defaults.data());
    Node input_class(lilv_new_uri(host.world(), LILV_URI_INPUT_PORT));
    Node audio_class(lilv_new_uri(host.world(), LILV_URI_AUDIO_PORT));
    int ins = 0, outs = 0;
    for (uint32_t i = 0; i < ports; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
        const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
        index_[symbol] = i;
        const bool input = lilv_port_is_a(plugin, port, input_class.get());
        if (lilv_port_is_a(plugin, port, audio_class.get())) {
            if (input && ins < TUBES) in_ports_[size_t(ins++)] = i;
            if (!input && outs < TUBES) out_ports_[size_t(outs++)] = i;
        } else if (!std::isnan(defaults[i])) {
            controls_[i] = defaults[i];
        }
    }
    instance_ = lilv_plugin_instantiate(plugin, sample_rate, nullptr);
    if (instance_ == nullptr) return;
    for (const auto& [symbol, i] : index_) {
        (void)symbol;
        lilv_instance_connect_port(instance_, i, &controls_[i]);
    }
    lilv_instance_activate(instance_);
}

TubeInstance::~TubeInstance()
{
    if (instance_ == nullptr) return;
    lilv_instance_deactivate(instance_);
    lilv_instance_free(instance_);
}

void TubeInstance::set(const std::string& symbol, float value)
{
    controls_[index_.at(symbol)] = value;
}

float TubeInstance::get(const std::string& symbol) const
{
    return controls_[index_.at(symbol)];
}

void TubeInstance::set_from_state(const char* symbol, void* self, const void* value, uint32_t size,
                                  uint32_t type)
{
    auto* instance = static_cast<TubeInstance*>(self);
    if (type != instance->host_.map()->map(instance->host_.map()->handle, LV2_ATOM__Float) ||
        size != sizeof(float)) {
        return;
    }
    float v;
    std::memcpy(&v, value, sizeof v);
    instance->set(symbol, v);
}

void TubeInstance::apply_preset(const std::string& uri)
{
    Node preset(lilv_new_uri(host_.world(), uri.c_str()));
    lilv_world_load_resource(host_.world(), preset.get());
    LilvState* state = lilv_state_new_from_world(host_.world(), host_.map(), preset.get());
    if (state == nullptr) return;
    lilv_state_restore(state, instance_, set_from_state, this, 0, nullptr);
    lilv_state_free(state);
}

Channels TubeInstance::run(const Channels& input)
{
    const size_t frames = input[0].size();
    Channels output;
    for (auto& channel : output) channel.assign(frames, 0.0f);
    std::array<std::array<float, BLOCK>, TUBES> in{}, out{};
    for (int t = 0; t < TUBES; ++t) {
        lilv_instance_connect_port(instance_, in_ports_[size_t(t)], in[size_t(t)].data());
        lilv_instance_connect_port(instance_, out_ports_[size_t(t)], out[size_t(t)].data());
    }
    for (size_t start = 0; start < frames; start += BLOCK) {
        const size_t n = std::min(BLOCK, frames - start);
        for (size_t t = 0; t < TUBES; ++t) {
            std::copy_n(input[t].begin() + long(start), n, in[t].begin());
        }
        lilv_instance_run(instance_, uint32_t(n));
        for (size_t t = 0; t < TUBES; ++t) {
            std::copy_n(out[t].begin(), n, output[t].begin() + long(start));
        }
    }
    return output;
}

Channels TubeInstance::run_silence(size_t frames)
{
    Channels silence;
    for (auto& channel : silence) channel.assign(frames, 0.0f);
    return run(silence);
}
