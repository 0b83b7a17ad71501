// The bundle's metadata against the library: what a host reads from the
// Turtle files must be what the shared object does. The port table below is
// written out independently of both, and the defaults are read from a new
// instance of the library itself.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "lilv_support.h"
#include "plugin/instance.h"
#include "plugin/ports.h"
#include "support/plugin_harness.h"

namespace {

enum class Dir { In, Out };
enum class Kind { Audio, Control };

struct ExpectedPort {
    PortIndex index;
    const char* symbol;
    const char* name;
    Dir dir;
    Kind kind;
    const char* group;  // symbol of its port group
    const char* unit;   // units: local name, or nullptr for audio
    bool integer;
    bool logarithmic;
};

const ExpectedPort PORTS[] = {
    {PORT_IN_1, "in_1", "Input 1", Dir::In, Kind::Audio, "tube_1", nullptr, false, false},
    {PORT_IN_2, "in_2", "Input 2", Dir::In, Kind::Audio, "tube_2", nullptr, false, false},
    {PORT_IN_3, "in_3", "Input 3", Dir::In, Kind::Audio, "tube_3", nullptr, false, false},
    {PORT_IN_4, "in_4", "Input 4", Dir::In, Kind::Audio, "tube_4", nullptr, false, false},
    {PORT_OUT_1, "out_1", "Output 1", Dir::Out, Kind::Audio, "tube_1", nullptr, false, false},
    {PORT_OUT_2, "out_2", "Output 2", Dir::Out, Kind::Audio, "tube_2", nullptr, false, false},
    {PORT_OUT_3, "out_3", "Output 3", Dir::Out, Kind::Audio, "tube_3", nullptr, false, false},
    {PORT_OUT_4, "out_4", "Output 4", Dir::Out, Kind::Audio, "tube_4", nullptr, false, false},
    {PORT_NOTE_1, "note_1", "Note 1", Dir::In, Kind::Control, "tube_1", "midiNote", true, false},
    {PORT_NOTE_2, "note_2", "Note 2", Dir::In, Kind::Control, "tube_2", "midiNote", true, false},
    {PORT_NOTE_3, "note_3", "Note 3", Dir::In, Kind::Control, "tube_3", "midiNote", true, false},
    {PORT_NOTE_4, "note_4", "Note 4", Dir::In, Kind::Control, "tube_4", "midiNote", true, false},
    {PORT_TRANSPOSE, "transpose", "Transpose", Dir::In, Kind::Control, "shared", "semitone12TET",
     true, false},
    {PORT_DECAY, "decay", "Decay", Dir::In, Kind::Control, "shared", "ms", false, true},
    {PORT_LEVEL, "level", "Level", Dir::In, Kind::Control, "shared", "db", false, false},
    {PORT_DAMPING, "damping", "Damping", Dir::In, Kind::Control, "shared", "hz", false, true},
};

class BundleMetadata : public ::testing::Test {
protected:
    HostWorld host{HostWorld::Load::BuildBundle};
    const LilvPlugin* plugin = host.plugin();

    void SetUp() override
    {
        ASSERT_NE(plugin, nullptr) << "no " PLUGIN_URI " in " PLUGIN_BUNDLE_DIR;
    }

    Node plugin_value(const char* predicate) const
    {
        Node p = host.uri(predicate);
        Nodes values(lilv_plugin_get_value(plugin, p.get()));
        if (!values || lilv_nodes_size(values.get()) == 0) return nullptr;
        return Node(lilv_node_duplicate(lilv_nodes_get_first(values.get())));
    }
    Node port_value(const LilvPort* port, const char* predicate) const
    {
        Node p = host.uri(predicate);
        return Node(lilv_port_get(plugin, port, p.get()));
    }
    bool port_is(const LilvPort* port, const char* klass) const
    {
        Node k = host.uri(klass);
        return lilv_port_is_a(plugin, port, k.get());
    }
    bool port_has(const LilvPort* port, const char* property) const
    {
        Node p = host.uri(property);
        return lilv_port_has_property(plugin, port, p.get());
    }
};

TEST_F(BundleMetadata, DeclaresExactlyThePortsTheLibraryHas)
{
    ASSERT_EQ(std::size(PORTS), size_t(PORT_COUNT));
    ASSERT_EQ(lilv_plugin_get_num_ports(plugin), uint32_t(PORT_COUNT));
    std::set<std::string> symbols;
    for (const ExpectedPort& want : PORTS) {
        SCOPED_TRACE(want.symbol);
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, want.index);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(lilv_port_get_index(plugin, port), uint32_t(want.index));
        EXPECT_EQ(HostWorld::text(lilv_port_get_symbol(plugin, port)), want.symbol);
        Node name(lilv_port_get_name(plugin, port));
        EXPECT_EQ(HostWorld::text(name.get()), want.name);
        EXPECT_EQ(port_is(port, LV2_CORE "InputPort"), want.dir == Dir::In);
        EXPECT_EQ(port_is(port, LV2_CORE "OutputPort"), want.dir == Dir::Out);
        EXPECT_EQ(port_is(port, LV2_CORE "AudioPort"), want.kind == Kind::Audio);
        EXPECT_EQ(port_is(port, LV2_CORE "ControlPort"), want.kind == Kind::Control);
        EXPECT_FALSE(HostWorld::text(port_value(port, RDFS_NS "comment").get()).empty());
        EXPECT_FALSE(port_has(port, LV2_CORE "connectionOptional"));
        symbols.insert(want.symbol);
    }
    EXPECT_EQ(symbols.size(), size_t(PORT_COUNT));
}

TEST_F(BundleMetadata, ControlsHaveUnitsRangesAndProperties)
{
    for (const ExpectedPort& want : PORTS) {
        if (want.kind != Kind::Control) continue;
        SCOPED_TRACE(want.symbol);
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, want.index);
        EXPECT_EQ(HostWorld::text(port_value(port, LV2_UNITS "unit").get()),
                  std::string(LV2_UNITS) + want.unit);
        EXPECT_EQ(port_has(port, LV2_CORE "integer"), want.integer);
        EXPECT_EQ(port_has(port, LV2_PPROP "logarithmic"), want.logarithmic);

        LilvNode *def = nullptr, *min = nullptr, *max = nullptr;
        lilv_port_get_range(plugin, port, &def, &min, &max);
        Node d(def), lo(min), hi(max);
        ASSERT_TRUE(d && lo && hi) << "default, minimum and maximum are all declared";
        const float fd = lilv_node_as_float(d.get());
        const float flo = lilv_node_as_float(lo.get());
        const float fhi = lilv_node_as_float(hi.get());
        EXPECT_LT(flo, fhi);
        EXPECT_LE(flo, fd);
        EXPECT_LE(fd, fhi);
        if (want.integer) {
            // Integer ports carry integer literals, so hosts show whole steps.
            EXPECT_TRUE(lilv_node_is_int(d.get()));
            EXPECT_TRUE(lilv_node_is_int(lo.get()));
            EXPECT_TRUE(lilv_node_is_int(hi.get()));
        }
        if (want.logarithmic) {
            EXPECT_GT(flo, 0.0f) << "a logarithmic range must stay above zero";
        }
    }
}

// The defaults a host shows are the state a new instance starts from, so a
// host that resets the controls to their defaults changes nothing.
TEST_F(BundleMetadata, DefaultsAreTheStateOfANewInstance)
{
    PluginHarness harness(48000.0);
    const auto metadata_default = [&](PortIndex index) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, index);
        LilvNode* def = nullptr;
        lilv_port_get_range(plugin, port, &def, nullptr, nullptr);
        Node d(def);
        return d ? lilv_node_as_float(d.get()) : NAN;
    };
    for (int k = 0; k < TUBE_COUNT; ++k) {
        const Tube& tube = harness.tube(k);
        EXPECT_EQ(metadata_default(PortIndex(PORT_NOTE_1 + k)), tube.note) << "tube " << k + 1;
        EXPECT_EQ(metadata_default(PORT_DECAY), tube.decay);
        EXPECT_EQ(metadata_default(PORT_LEVEL), tube.level_db);
        EXPECT_EQ(metadata_default(PORT_DAMPING), tube.damping_hz);
        // A new tube has no transposition yet; the first run applies the port.
        EXPECT_TRUE(std::isnan(tube.transpose));
    }
    EXPECT_EQ(metadata_default(PORT_TRANSPOSE), 0.0f);
}

TEST_F(BundleMetadata, PortGroupsJoinEachTubesPortsAndTheSharedControls)
{
    std::set<std::string> group_symbols;
    for (const ExpectedPort& want : PORTS) {
        SCOPED_TRACE(want.symbol);
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, want.index);
        Node group = port_value(port, LV2_PG "group");
        ASSERT_TRUE(group) << "every port belongs to a group";
        Node is_group = host.uri(LV2_PG "Group");
        Node rdf_type = host.uri(RDF_NS "type");
        EXPECT_TRUE(lilv_world_ask(host.world(), group.get(), rdf_type.get(), is_group.get()));
        EXPECT_EQ(HostWorld::text(host.get(group.get(), LV2_CORE "symbol").get()), want.group);
        EXPECT_FALSE(HostWorld::text(host.get(group.get(), LV2_CORE "name").get()).empty());
        group_symbols.insert(HostWorld::text(group.get()));
    }
    EXPECT_EQ(group_symbols.size(), size_t(TUBE_COUNT + 1));
}

TEST_F(BundleMetadata, PluginIsDescribedForHostsAndCatalogues)
{
    const LV2_Descriptor* descriptor = lv2_descriptor(0);
    ASSERT_NE(descriptor, nullptr);
    EXPECT_STREQ(descriptor->URI, HostWorld::text(lilv_plugin_get_uri(plugin)).c_str());

    char* library =
        lilv_file_uri_parse(lilv_node_as_uri(lilv_plugin_get_library_uri(plugin)), nullptr);
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(std::string(library), std::string(PLUGIN_BUNDLE_DIR) + PLUGIN_BINARY);
    lilv_free(library);

    Node name(lilv_plugin_get_name(plugin));
    EXPECT_EQ(HostWorld::text(name.get()), "Ostrevan Tarvolene");
    Node comb = host.uri(LV2_CORE "CombPlugin");
    Node rdf_type = host.uri(RDF_NS "type");
    EXPECT_TRUE(
        lilv_world_ask(host.world(), lilv_plugin_get_uri(plugin), rdf_type.get(), comb.get()));
    EXPECT_FALSE(HostWorld::text(plugin_value(DOAP_NS "shortdesc").get()).empty());
    EXPECT_FALSE(HostWorld::text(plugin_value(RDFS_NS "comment").get()).empty());
    Node license = plugin_value(DOAP_NS "license");
    ASSERT_TRUE(license);
    EXPECT_TRUE(lilv_node_is_uri(license.get()));

    Node minor = plugin_value(LV2_CORE "minorVersion");
    Node micro = plugin_value(LV2_CORE "microVersion");
    ASSERT_TRUE(minor && micro);
    EXPECT_TRUE(lilv_node_is_int(minor.get()));
    EXPECT_EQ(lilv_node_as_int(minor.get()), PLUGIN_LV2_MINOR);
    EXPECT_EQ(lilv_node_as_int(micro.get()), PLUGIN_LV2_MICRO);
}

TEST_F(BundleMetadata, ProjectNamesItsMaintainer)
{
    Node project(lilv_plugin_get_project(plugin));
    ASSERT_TRUE(project);
    EXPECT_FALSE(HostWorld::text(host.get(project.get(), DOAP_NS "name").get()).empty());
    Node maintainer = host.get(project.get(), DOAP_NS "maintainer");
    ASSERT_TRUE(maintainer);
    EXPECT_FALSE(HostWorld::text(host.get(maintainer.get(), FOAF_NS "name").get()).empty());
    EXPECT_EQ(HostWorld::text(host.get(maintainer.get(), FOAF_NS "mbox").get()).rfind("mailto:", 0),
              0u);
    EXPECT_FALSE(HostWorld::text(host.get(maintainer.get(), FOAF_NS "homepage").get()).empty());
    // What hosts show as the author comes from the same place.
    Node author(lilv_plugin_get_author_name(plugin));
    EXPECT_EQ(HostWorld::text(author.get()),
              HostWorld::text(host.get(maintainer.get(), FOAF_NS "name").get()));
}

// The library asks for nothing and offers nothing, processes in place, and
// may run on a real-time thread: the metadata must promise exactly that.
TEST_F(BundleMetadata, FeaturesMatchWhatTheLibraryNeeds)
{
    Nodes required(lilv_plugin_get_required_features(plugin));
    EXPECT_EQ(lilv_nodes_size(required.get()), 0u);
    Nodes optional(lilv_plugin_get_optional_features(plugin));
    Node hard_rt = host.uri(LV2_CORE "hardRTCapable");
    EXPECT_TRUE(lilv_nodes_contains(optional.get(), hard_rt.get()));
    Node in_place_broken = host.uri(LV2_CORE "inPlaceBroken");
    EXPECT_FALSE(lilv_plugin_has_feature(plugin, in_place_broken.get()));
    Nodes extensions(lilv_plugin_get_extension_data(plugin));
    EXPECT_EQ(lilv_nodes_size(extensions.get()), 0u);
}

}  // namespace
