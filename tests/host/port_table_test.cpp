// Every plug-in's metadata, as lilv reads it from the bundle, against the
// library's table of ports (plugin/ports.h): the same ports at the same
// indices, the same ranges and defaults, an enumeration's scale points for
// each of its values, the port groups that let a host fit a companion to a
// track, and presets that set the table's controls. Then each index must
// reach what its symbol names in the library.

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "lilv_support.h"
#include "plugin/companion.h"
#include "plugin/ports.h"
#include "support/companion_host.h"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace {

struct PluginUnderTest {
    PluginKind kind;
    const char* uri;
    const PortRow* ports;
    uint32_t port_count;
    uint32_t least_presets;
};

const PluginUnderTest PLUGINS[] = {
    {PluginKind::FOUR, PLUGIN_URI, FOUR_PORTS, PORT_COUNT, 5},
    {PluginKind::MONO, PLUGIN_URI_MONO, MONO_PORTS, MONO_PORT_COUNT, 10},
    {PluginKind::STEREO, PLUGIN_URI_STEREO, STEREO_PORTS, STEREO_PORT_COUNT, 10},
};

class PortTable : public ::testing::Test {
protected:
    HostWorld host{HostWorld::Load::BuildBundle};

    const LilvPlugin* plugin(const char* uri) const
    {
        Node u = host.uri(uri);
        return lilv_plugins_get_by_uri(lilv_world_get_all_plugins(host.world()), u.get());
    }
    bool is_a(const LilvPlugin* p, const LilvPort* port, const char* klass) const
    {
        Node k = host.uri(klass);
        return lilv_port_is_a(p, port, k.get());
    }
    std::string port_get(const LilvPlugin* p, const LilvPort* port, const char* predicate) const
    {
        Node pred = host.uri(predicate);
        Node value(lilv_port_get(p, port, pred.get()));
        return HostWorld::text(value.get());
    }
};

TEST_F(PortTable, EveryPluginDeclaresTheTablesPorts)
{
    for (const PluginUnderTest& want : PLUGINS) {
        SCOPED_TRACE(want.uri);
        const LilvPlugin* p = plugin(want.uri);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(lilv_plugin_get_num_ports(p), want.port_count);
        std::set<int> controls_seen;
        for (uint32_t i = 0; i < want.port_count; ++i) {
            const PortRow& row = want.ports[i];
            SCOPED_TRACE(row.symbol);
            const LilvPort* port = lilv_plugin_get_port_by_index(p, i);
            ASSERT_NE(port, nullptr);
            EXPECT_EQ(HostWorld::text(lilv_port_get_symbol(p, port)), row.symbol);
            const bool input = row.kind != PortKind::AUDIO_OUT;
            EXPECT_EQ(is_a(p, port, LV2_CORE "InputPort"), input);
            EXPECT_EQ(is_a(p, port, LV2_CORE "OutputPort"), !input);
            EXPECT_EQ(is_a(p, port, LV2_CORE "AudioPort"),
                      row.kind == PortKind::AUDIO_IN || row.kind == PortKind::AUDIO_OUT);
            EXPECT_EQ(is_a(p, port, LV2_CORE "ControlPort"), row.kind == PortKind::CONTROL);
            if (row.kind == PortKind::MIDI_IN) {
                EXPECT_TRUE(is_a(p, port, "http://lv2plug.in/ns/ext/atom#AtomPort"));
                Node midi = host.uri("http://lv2plug.in/ns/ext/midi#MidiEvent");
                EXPECT_TRUE(lilv_port_supports_event(p, port, midi.get()));
                EXPECT_EQ(port_get(p, port, "http://lv2plug.in/ns/ext/atom#bufferType"),
                          "http://lv2plug.in/ns/ext/atom#Sequence");
            }
            if (row.kind != PortKind::CONTROL) continue;

            const ControlRow& control = CONTROLS[row.slot];
            EXPECT_STREQ(control.symbol, row.symbol);
            EXPECT_TRUE(control.plugins & plugin_bit(want.kind));
            controls_seen.insert(row.slot);
            LilvNode *def = nullptr, *min = nullptr, *max = nullptr;
            lilv_port_get_range(p, port, &def, &min, &max);
            Node d(def), lo(min), hi(max);
            ASSERT_TRUE(d && lo && hi);
            EXPECT_EQ(lilv_node_as_float(d.get()), control.default_value);
            EXPECT_EQ(lilv_node_as_float(lo.get()), control.minimum);
            EXPECT_EQ(lilv_node_as_float(hi.get()), control.maximum);

            Node enumeration = host.uri(LV2_CORE "enumeration");
            if (lilv_port_has_property(p, port, enumeration.get())) {
                // A menu: one labelled point for every whole value of the range.
                LilvScalePoints* points = lilv_port_get_scale_points(p, port);
                ASSERT_NE(points, nullptr);
                std::set<float> values;
                LILV_FOREACH(scale_points, k, points)
                {
                    const LilvScalePoint* point = lilv_scale_points_get(points, k);
                    values.insert(lilv_node_as_float(lilv_scale_point_get_value(point)));
                    EXPECT_FALSE(HostWorld::text(lilv_scale_point_get_label(point)).empty());
                }
                lilv_scale_points_free(points);
                std::set<float> range;
                for (float v = control.minimum; v <= control.maximum; v += 1.0f) range.insert(v);
                EXPECT_EQ(values, range);
            }
        }
        // Every control the table gives the plug-in, and no other.
        for (int id = 0; id < CONTROL_COUNT; ++id) {
            EXPECT_EQ(controls_seen.count(id) == 1,
                      (CONTROLS[id].plugins & plugin_bit(want.kind)) != 0)
                << CONTROLS[id].symbol;
        }
    }
}

// A host fits a companion to a track from its main groups: the mono
// companion's input is a mono group, the stereo one's a stereo group, both
// outputs a stereo pair, each port with its designation.
TEST_F(PortTable, CompanionsDeclareTheirTracksPortGroupsAndFeatures)
{
    const std::string pg = LV2_PG;
    for (const PluginUnderTest& want : PLUGINS) {
        if (want.kind == PluginKind::FOUR) continue;
        SCOPED_TRACE(want.uri);
        const LilvPlugin* p = plugin(want.uri);
        ASSERT_NE(p, nullptr);
        const auto value = [&](const std::string& predicate) {
            Node pred = host.uri(predicate);
            Nodes values(lilv_plugin_get_value(p, pred.get()));
            return values && lilv_nodes_size(values.get()) == 1
                       ? Node(lilv_node_duplicate(lilv_nodes_get_first(values.get())))
                       : Node();
        };
        Node main_in = value(pg + "mainInput");
        Node main_out = value(pg + "mainOutput");
        ASSERT_TRUE(main_in && main_out);
        Node type = host.uri(RDF_NS "type");
        const auto group_is = [&](const Node& group, const std::string& klass) {
            Node k = host.uri(pg + klass);
            return lilv_world_ask(host.world(), group.get(), type.get(), k.get());
        };
        const bool mono = want.kind == PluginKind::MONO;
        EXPECT_TRUE(group_is(main_in, "InputGroup"));
        EXPECT_TRUE(group_is(main_in, mono ? "MonoGroup" : "StereoGroup"));
        EXPECT_TRUE(group_is(main_out, "OutputGroup"));
        EXPECT_TRUE(group_is(main_out, "StereoGroup"));
        std::multiset<std::string> in_roles, out_roles;
        for (uint32_t i = 0; i < want.port_count; ++i) {
            const PortRow& row = want.ports[i];
            if (row.kind != PortKind::AUDIO_IN && row.kind != PortKind::AUDIO_OUT) continue;
            const LilvPort* port = lilv_plugin_get_port_by_index(p, i);
            const bool in = row.kind == PortKind::AUDIO_IN;
            EXPECT_EQ(port_get(p, port, LV2_PG "group"),
                      HostWorld::text((in ? main_in : main_out).get()))
                << row.symbol;
            const std::string role = port_get(p, port, LV2_CORE "designation");
            (in ? in_roles : out_roles).insert(role.substr(pg.size()));
        }
        const std::multiset<std::string> in_want =
            mono ? std::multiset<std::string>{"center"} : std::multiset<std::string>{"left", "right"};
        EXPECT_EQ(in_roles, in_want);
        EXPECT_EQ(out_roles, (std::multiset<std::string>{"left", "right"}));
        Nodes required(lilv_plugin_get_required_features(p));
        Node map = host.uri("http://lv2plug.in/ns/ext/urid#map");
        EXPECT_TRUE(lilv_nodes_contains(required.get(), map.get()));
        EXPECT_EQ(lilv_nodes_size(required.get()), 1u);
        // The worker: offered by the library exactly as the metadata says, so
        // that a host which gives its schedule also finds the interface.
        Nodes optional(lilv_plugin_get_optional_features(p));
        Node schedule = host.uri("http://lv2plug.in/ns/ext/worker#schedule");
        EXPECT_TRUE(lilv_nodes_contains(optional.get(), schedule.get()));
        Nodes extensions(lilv_plugin_get_extension_data(p));
        ASSERT_EQ(lilv_nodes_size(extensions.get()), 1u);
        const LV2_Descriptor* library = lv2_descriptor(static_cast<uint32_t>(want.kind));
        LILV_FOREACH(nodes, e, extensions.get())
        {
            const char* uri = lilv_node_as_uri(lilv_nodes_get(extensions.get(), e));
            EXPECT_STREQ(uri, "http://lv2plug.in/ns/ext/worker#interface");
            EXPECT_NE(library->extension_data(uri), nullptr) << uri;
        }
    }
}

// Each index the metadata declares reaches, in the library, the storage its
// symbol names: an index out of step would connect a host's knob to another
// control, or its buffer to another channel.
TEST_F(PortTable, EveryIndexDrivesThePortItsSymbolNames)
{
    for (const PluginUnderTest& want : PLUGINS) {
        SCOPED_TRACE(want.uri);
        const LilvPlugin* p = plugin(want.uri);
        ASSERT_NE(p, nullptr);
        const LV2_Descriptor* d = lv2_descriptor(static_cast<uint32_t>(want.kind));
        LV2_Handle h = d->instantiate(d, 48000.0, "/nonexistent/", host_features());
        ASSERT_NE(h, nullptr);
        auto& instance = *static_cast<PluginInstance*>(h);
        std::vector<float> storage(lilv_plugin_get_num_ports(p));
        for (uint32_t i = 0; i < storage.size(); ++i) d->connect_port(h, i, &storage[i]);
        const auto reached = [&](const std::string& symbol) -> const void* {
            for (int id = 0; id < CONTROL_COUNT; ++id) {
                if (symbol == CONTROLS[id].symbol) return instance.controls.control[id].port;
            }
            if (want.kind == PluginKind::FOUR) {
                for (int k = 0; k < TUBE_COUNT; ++k) {
                    if (symbol == "in_" + std::to_string(k + 1)) return instance.input[k];
                    if (symbol == "out_" + std::to_string(k + 1)) return instance.output[k];
                }
                return nullptr;
            }
            const Companion& c = *instance.companion;
            if (symbol == "in" || symbol == "in_left") return c.in_left;
            if (symbol == "in_right") return c.in_right;
            if (symbol == "out_left") return c.out_left;
            if (symbol == "out_right") return c.out_right;
            if (symbol == "midi_in") return c.midi;
            return nullptr;
        };
        for (uint32_t i = 0; i < storage.size(); ++i) {
            const LilvPort* port = lilv_plugin_get_port_by_index(p, i);
            const std::string symbol = HostWorld::text(lilv_port_get_symbol(p, port));
            EXPECT_EQ(reached(symbol), &storage[i]) << symbol << " at index " << i;
        }
        d->cleanup(h);
    }
}

// Every preset has a label of its own and a comment, and sets every control
// of its plug-in but the input routing, which belongs to the track, each to
// a value within the control's range (a whole one where the port is integer).
TEST_F(PortTable, PresetsSetEveryControlWithinItsRange)
{
    for (const PluginUnderTest& want : PLUGINS) {
        SCOPED_TRACE(want.uri);
        const LilvPlugin* p = plugin(want.uri);
        ASSERT_NE(p, nullptr);
        std::set<std::string> expected;
        for (const ControlRow& control : CONTROLS) {
            if ((control.plugins & plugin_bit(want.kind)) && std::string(control.symbol) != "input") {
                expected.insert(control.symbol);
            }
        }
        Node preset_class = host.uri(LV2_PSET "Preset");
        Nodes presets(lilv_plugin_get_related(p, preset_class.get()));
        EXPECT_GE(lilv_nodes_size(presets.get()), want.least_presets);
        std::set<std::string> labels;
        LILV_FOREACH(nodes, i, presets.get())
        {
            const LilvNode* preset = lilv_nodes_get(presets.get(), i);
            SCOPED_TRACE(HostWorld::text(preset));
            ASSERT_GE(lilv_world_load_resource(host.world(), preset), 0) << "its data file loads";
            const std::string label = HostWorld::text(host.get(preset, RDFS_NS "label").get());
            EXPECT_FALSE(label.empty());
            labels.insert(label);
            EXPECT_FALSE(HostWorld::text(host.get(preset, RDFS_NS "comment").get()).empty());

            Node port_predicate = host.uri(LV2_CORE "port");
            Nodes ports(lilv_world_find_nodes(host.world(), preset, port_predicate.get(), nullptr));
            std::set<std::string> set;
            LILV_FOREACH(nodes, j, ports.get())
            {
                const LilvNode* entry = lilv_nodes_get(ports.get(), j);
                const std::string symbol = HostWorld::text(host.get(entry, LV2_CORE "symbol").get());
                Node value = host.get(entry, LV2_PSET "value");
                ASSERT_TRUE(value) << symbol;
                const float v = lilv_node_as_float(value.get());
                set.insert(symbol);
                for (const ControlRow& control : CONTROLS) {
                    if (symbol != control.symbol) continue;
                    EXPECT_LE(control.minimum, v) << symbol;
                    EXPECT_LE(v, control.maximum) << symbol;
                }
                Node symbol_node(lilv_new_string(host.world(), symbol.c_str()));
                const LilvPort* port = lilv_plugin_get_port_by_symbol(p, symbol_node.get());
                ASSERT_NE(port, nullptr) << "preset sets an unknown port " << symbol;
                Node integer = host.uri(LV2_CORE "integer");
                if (lilv_port_has_property(p, port, integer.get())) {
                    EXPECT_EQ(v, std::round(v)) << symbol;
                }
            }
            EXPECT_EQ(set, expected);
        }
        EXPECT_EQ(labels.size(), lilv_nodes_size(presets.get())) << "labels are unique";
    }
}

}  // namespace
