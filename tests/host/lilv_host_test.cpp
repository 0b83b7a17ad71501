// The plug-in as a lilv host finds, instantiates and runs it: discovery on
// LV2_PATH, the real shared object in the build tree's bundle, and the
// presets applied the way hosts apply them, through lilv's state API.

#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "lilv_support.h"
#include "plugin/ports.h"
#include "spectrum.h"
#include "support/plugin_harness.h"
#include "urid_map.h"

namespace {

constexpr int TUBES = 4;
constexpr uint32_t BLOCK = 256;
// The first glide from the provisional length of a new instance takes up to
// about 12,800 frames; the tubes are excited only after it.
constexpr size_t SETTLE_FRAMES = 20000;

// The control a port's symbol names, or null.
float* by_symbol(Control& c, const std::string& symbol)
{
    for (int k = 0; k < TUBES; ++k) {
        if (symbol == "note_" + std::to_string(k + 1)) return &c.note[k];
    }
    if (symbol == "transpose") return &c.transpose;
    if (symbol == "decay") return &c.decay;
    if (symbol == "level") return &c.level;
    if (symbol == "damping") return &c.damping;
    return nullptr;
}

// One instance made by lilv from the bundle, fed per-tube input and rendered
// in host-sized blocks.
struct Render {
    std::array<std::vector<float>, TUBES> out;
};

Render render_through_lilv(const LilvPlugin* plugin, double rate, Control controls,
                           const std::array<std::vector<float>, TUBES>& in)
{
    Render result;
    const size_t frames = in[0].size();
    LilvInstance* instance = lilv_plugin_instantiate(plugin, rate, nullptr);
    if (instance == nullptr) {
        ADD_FAILURE() << "lilv could not instantiate the plug-in";
        return result;
    }
    std::array<std::vector<float>, TUBES> in_block, out_block;
    for (int k = 0; k < TUBES; ++k) {
        in_block[k].assign(BLOCK, 0.0f);
        out_block[k].assign(BLOCK, 0.0f);
        result.out[k].assign(frames, 0.0f);
        lilv_instance_connect_port(instance, PORT_IN_1 + k, in_block[k].data());
        lilv_instance_connect_port(instance, PORT_OUT_1 + k, out_block[k].data());
        lilv_instance_connect_port(instance, PORT_NOTE_1 + k, &controls.note[k]);
    }
    lilv_instance_connect_port(instance, PORT_TRANSPOSE, &controls.transpose);
    lilv_instance_connect_port(instance, PORT_DECAY, &controls.decay);
    lilv_instance_connect_port(instance, PORT_LEVEL, &controls.level);
    lilv_instance_connect_port(instance, PORT_DAMPING, &controls.damping);
    lilv_instance_activate(instance);
    for (size_t at = 0; at < frames; at += BLOCK) {
        const size_t n = std::min<size_t>(BLOCK, frames - at);
        for (int k = 0; k < TUBES; ++k)
            std::copy_n(in[k].begin() + long(at), n, in_block[k].begin());
        lilv_instance_run(instance, uint32_t(n));
        for (int k = 0; k < TUBES; ++k)
            std::copy_n(out_block[k].begin(), n, result.out[k].begin() + long(at));
    }
    lilv_instance_deactivate(instance);
    lilv_instance_free(instance);
    return result;
}

// Silence, then one click at SETTLE_FRAMES in the chosen tubes.
std::array<std::vector<float>, TUBES> clicks(size_t frames, std::array<bool, TUBES> which)
{
    std::array<std::vector<float>, TUBES> in;
    for (int k = 0; k < TUBES; ++k) {
        in[k].assign(frames, 0.0f);
        if (which[k]) in[k][SETTLE_FRAMES] = 0.5f;
    }
    return in;
}

class LilvHost : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // CTest points LV2_PATH at the build tree; so does a run by hand.
        setenv("LV2_PATH", PLUGIN_LV2_DIR, 0);
    }
    HostWorld host{HostWorld::Load::Lv2Path};
    const LilvPlugin* plugin = host.plugin();

    void SetUp() override { ASSERT_NE(plugin, nullptr) << PLUGIN_URI " not found on LV2_PATH"; }
};

TEST_F(LilvHost, FindsTheBuildTreeBundleOnLv2Path)
{
    char* bundle =
        lilv_file_uri_parse(lilv_node_as_uri(lilv_plugin_get_bundle_uri(plugin)), nullptr);
    ASSERT_NE(bundle, nullptr);
    EXPECT_STREQ(bundle, PLUGIN_BUNDLE_DIR);
    lilv_free(bundle);
    EXPECT_TRUE(lilv_plugin_verify(plugin));
}

// A click into each tube at three host rates: nothing sounds before it, each
// tube then rings at the pitch of its own loop and dies away as the decay
// control says, and no tube sounds on another tube's output.
TEST_F(LilvHost, EveryTubeRingsAtItsPitchAndDiesAway)
{
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        SCOPED_TRACE("rate " + std::to_string(rate));
        const size_t frames = SETTLE_FRAMES + size_t(rate);
        const Control controls;
        const Render r =
            render_through_lilv(plugin, rate, controls, clicks(frames, {true, true, true, true}));
        for (int k = 0; k < TUBES; ++k) {
            SCOPED_TRACE("tube " + std::to_string(k + 1));
            const auto& out = r.out[k];
            ASSERT_EQ(out.size(), frames);
            EXPECT_TRUE(all_finite(out));
            EXPECT_EQ(rms(out, 0, SETTLE_FRAMES), 0.0) << "no input, no sound";
            const size_t ms = size_t(rate / 1000.0);
            const double start = rms(out, SETTLE_FRAMES, SETTLE_FRAMES + 20 * ms);
            const double later = rms(out, SETTLE_FRAMES + 200 * ms, SETTLE_FRAMES + 220 * ms);
            EXPECT_GT(start, 1e-3) << "the click makes the tube ring";
            // 100 ms decay: 120 dB down 200 ms on, allowing for the first
            // stretch's own decay within its 20 ms.
            EXPECT_LT(later, start * 1e-4);
            const double length = tube_length(controls.note[k], rate);
            const double expected = tube_resonance(length, rate, controls.decay, controls.damping);
            const Peak peak = spectral_peak(out, SETTLE_FRAMES, frames, rate, 0.7 * expected,
                                            1.4 * expected, Window::None);
            EXPECT_NEAR(cents(peak.frequency, expected), 0.0, 12.0)
                << "peak " << peak.frequency << " Hz, loop resonance " << expected << " Hz";
            EXPECT_GT(peak.prominence, 2.0);
        }
    }
}

TEST_F(LilvHost, ATubeSoundsOnlyOnItsOwnOutput)
{
    const size_t frames = SETTLE_FRAMES + 4800;
    for (int only = 0; only < TUBES; ++only) {
        std::array<bool, TUBES> which{};
        which[only] = true;
        const Render r = render_through_lilv(plugin, 48000.0, Control{}, clicks(frames, which));
        for (int k = 0; k < TUBES; ++k) {
            const double level = rms(r.out[k], 0, frames);
            if (k == only) {
                EXPECT_GT(level, 0.0) << "tube " << k + 1;
            } else {
                EXPECT_EQ(level, 0.0) << "tube " << k + 1 << " with a click in tube " << only + 1;
            }
        }
    }
}

// Every preset, loaded the way hosts load presets (lilv_state from the
// world, restored into port values), sets all eight controls; rendered with
// them, each tube rings at the pitch of the preset's note and transposition.
TEST_F(LilvHost, PresetsLoadThroughLilvStateAndTuneTheTubes)
{
    const LV2_URID atom_float = map_uri(nullptr, LV2_ATOM__Float);
    Node preset_class = host.uri(LV2_PSET "Preset");
    Nodes presets(lilv_plugin_get_related(plugin, preset_class.get()));
    ASSERT_GE(lilv_nodes_size(presets.get()), 5u);

    LILV_FOREACH(nodes, i, presets.get())
    {
        const LilvNode* preset = lilv_nodes_get(presets.get(), i);
        SCOPED_TRACE(HostWorld::text(preset));
        // As hosts do: load the preset's own file, then make a state of it.
        ASSERT_GE(lilv_world_load_resource(host.world(), preset), 0);
        LilvState* state = lilv_state_new_from_world(host.world(), host_urid_map(), preset);
        ASSERT_NE(state, nullptr);
        EXPECT_NE(lilv_state_get_label(state), nullptr);
        EXPECT_EQ(lilv_state_get_num_properties(state), 0u) << "presets hold port values only";

        struct Restore {
            Control controls;
            LV2_URID atom_float;
            int values = 0;
            int wrong_type = 0;
        } restore{Control{}, atom_float};
        // Start from values no preset uses, so that a control the preset
        // fails to set shows up.
        std::fill(std::begin(restore.controls.note), std::end(restore.controls.note), -1.0f);
        lilv_state_restore(
            state, nullptr,
            [](const char* symbol, void* data, const void* value, uint32_t size, uint32_t type) {
                auto* r = static_cast<Restore*>(data);
                float* target = by_symbol(r->controls, symbol);
                if (target == nullptr || type != r->atom_float || size != sizeof(float)) {
                    ++r->wrong_type;
                    return;
                }
                *target = *static_cast<const float*>(value);
                ++r->values;
            },
            &restore, 0, nullptr);
        lilv_state_free(state);
        EXPECT_EQ(restore.values, 8);
        EXPECT_EQ(restore.wrong_type, 0);

        const Control& c = restore.controls;
        const double rate = 48000.0;
        const size_t frames = SETTLE_FRAMES + size_t(rate);
        const Render r =
            render_through_lilv(plugin, rate, c, clicks(frames, {true, true, true, true}));
        for (int k = 0; k < TUBES; ++k) {
            SCOPED_TRACE("tube " + std::to_string(k + 1));
            EXPECT_TRUE(all_finite(r.out[k]));
            const double expected = tube_resonance(tube_length(c.note[k] + c.transpose, rate), rate,
                                                   c.decay, c.damping);
            const Peak peak = spectral_peak(r.out[k], SETTLE_FRAMES, frames, rate, 0.7 * expected,
                                            1.4 * expected, Window::None);
            EXPECT_NEAR(cents(peak.frequency, expected), 0.0, 12.0)
                << "peak " << peak.frequency << " Hz, loop resonance " << expected << " Hz";
        }
    }
}

}  // namespace
