#include <gtest/gtest.h>
#include <lv2/atom/atom.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lilv_support.h"
#include "midi_sequence.h"
#include "urid_map.h"

// The companions played from MIDI through lilv, as a host that sends atom
// sequences drives them.

namespace {

constexpr uint32_t BLOCK = 256;

struct Key {
    uint32_t frame;
    uint8_t status;
    uint8_t key;
};

// One companion instance made by lilv, with buffers and control values of
// its own, its ports found by symbol.
class Companion {
public:
    Companion(const HostWorld& world, const char* uri, float notes_from)
        : world_(world.world())
    {
        Node plugin_uri = world.uri(uri);
        plugin_ =
            lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world.world()), plugin_uri.get());
        if (plugin_ == nullptr) return;
        const uint32_t ports = lilv_plugin_get_num_ports(plugin_);
        controls_.assign(ports, 0.0f);
        lilv_plugin_get_port_ranges_float(plugin_, nullptr, nullptr, controls_.data());
        instance_ = lilv_plugin_instantiate(plugin_, 48000.0, host_features());
        if (instance_ == nullptr) return;
        for (uint32_t p = 0; p < ports; ++p) {
            if (!std::isnan(controls_[p])) {
                lilv_instance_connect_port(instance_, p, &controls_[p]);
            }
        }
        control("notes_from") = notes_from;
        midi_.assign(512, 0);
        lilv_instance_connect_port(instance_, index("midi_in"), midi_.data());
        for (const char* symbol : {"in", "in_left", "in_right"}) {
            if (has(symbol)) inputs_.push_back(index(symbol));
        }
        lilv_instance_activate(instance_);
    }
    ~Companion()
    {
        if (instance_ != nullptr) {
            lilv_instance_deactivate(instance_);
            lilv_instance_free(instance_);
        }
    }
    Companion(const Companion&) = delete;
    Companion& operator=(const Companion&) = delete;

    bool ready() const { return instance_ != nullptr; }
    float& control(const char* symbol) { return controls_[index(symbol)]; }

    // Runs frames first..last of the block: `in` feeds every audio input,
    // the outputs go to left and right at the same frames; `keys` are sent
    // at their frames, counted from `first`.
    void run(const std::vector<float>& in, uint32_t first, uint32_t last, std::vector<float>& left,
             std::vector<float>& right, const std::vector<Key>& keys = {})
    {
        for (uint32_t input : inputs_) {
            lilv_instance_connect_port(instance_, input, const_cast<float*>(in.data() + first));
        }
        lilv_instance_connect_port(instance_, index("out_left"), left.data() + first);
        lilv_instance_connect_port(instance_, index("out_right"), right.data() + first);
        write_sequence(keys);
        lilv_instance_run(instance_, last - first);
    }

private:
    bool has(const char* symbol) const
    {
        Node name(lilv_new_string(world_, symbol));
        return lilv_plugin_get_port_by_symbol(plugin_, name.get()) != nullptr;
    }
    uint32_t index(const char* symbol) const
    {
        Node name(lilv_new_string(world_, symbol));
        return lilv_port_get_index(plugin_, lilv_plugin_get_port_by_symbol(plugin_, name.get()));
    }
    void write_sequence(const std::vector<Key>& keys)
    {
        LV2_Atom_Sequence* sequence = empty_midi_sequence(midi_.data());
        for (const Key& k : keys) {
            ASSERT_TRUE(append_midi(sequence, uint32_t(midi_.size() * sizeof midi_[0]), k.frame,
                                    k.status, k.key, k.status == 0x90 ? 100 : 0));
        }
    }

    LilvWorld* world_;
    const LilvPlugin* plugin_ = nullptr;
    LilvInstance* instance_ = nullptr;
    std::vector<float> controls_;
    std::vector<uint64_t> midi_;
    std::vector<uint32_t> inputs_;
};

// A chord played on the keys, and the tube notes it gives by the keyboard's
// rules, written out by hand.
struct Step {
    std::vector<uint8_t> pressed;  // at one frame, all other keys released first
    float notes[4];
};

}  // namespace

// A chord played from MIDI at a frame inside a block sounds, bit for bit, as
// the same notes set on the knobs in a block that starts at that frame: each
// note takes effect at its own frame and glides as a knob change does.
TEST(CompanionMidi, AChordFromTheKeysSoundsAsTheSameNotesOnTheKnobs)
{
    const std::vector<Step> steps = {
        {{65, 70, 75, 80}, {65, 70, 75, 80}},
        {{62}, {62, 74, 74, 74}},  // one key: its octaves, held at the top of the range
        {{43, 55}, {43, 55, 55, 67}},
        {{80, 30, 70, 50, 60}, {30, 50, 60, 70}},  // five keys: the four pressed last
        {{100, 20, 48}, {32, 48, 76, 44}},         // keys outside the range move by octaves
        {{64, 67, 60}, {60, 64, 67, 72}},
    };
    HostWorld world(HostWorld::Load::BuildBundle);
    for (const char* uri : {PLUGIN_URI_MONO, PLUGIN_URI_STEREO}) {
        Companion keys(world, uri, 1.0f);
        Companion knobs(world, uri, 0.0f);
        ASSERT_TRUE(keys.ready() && knobs.ready()) << uri;
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
        std::vector<float> in(BLOCK), left[2], right[2];
        for (int i = 0; i < 2; ++i) {
            left[i].assign(BLOCK, 0.0f);
            right[i].assign(BLOCK, 0.0f);
        }
        std::vector<uint8_t> held;
        size_t next = 0;
        for (int block = 0; block < 400; ++block) {
            for (float& x : in) x = noise(rng);
            // A new chord every 60 blocks, at a frame of its own inside the block.
            const bool change = block % 60 == 30 && next < steps.size();
            const uint32_t frame = change ? uint32_t(rng() % BLOCK) : 0;
            if (!change) {
                keys.run(in, 0, BLOCK, left[0], right[0]);
                knobs.run(in, 0, BLOCK, left[1], right[1]);
            } else {
                std::vector<Key> sent;
                for (uint8_t key : held) sent.push_back({frame, 0x80, key});
                held = steps[next].pressed;
                for (uint8_t key : held) sent.push_back({frame, 0x90, key});
                keys.run(in, 0, BLOCK, left[0], right[0], sent);
                knobs.run(in, 0, frame, left[1], right[1]);
                for (int t = 0; t < 4; ++t) {
                    knobs.control(("note_" + std::to_string(t + 1)).c_str()) = steps[next].notes[t];
                }
                knobs.run(in, frame, BLOCK, left[1], right[1]);
                ++next;
            }
            ASSERT_EQ(0, std::memcmp(left[0].data(), left[1].data(), BLOCK * sizeof(float)))
                << uri << " block " << block << " chord " << next;
            ASSERT_EQ(0, std::memcmp(right[0].data(), right[1].data(), BLOCK * sizeof(float)))
                << uri << " block " << block << " chord " << next;
        }
        EXPECT_EQ(next, steps.size());
    }
}

// Keys played while the notes come from the knobs change nothing that is
// heard; turning to MIDI then plays the last chord, and turning back to the
// knobs takes their notes up again: each step against an instance whose
// knobs alone were set to the same notes at the same block.
TEST(CompanionMidi, TurningBetweenKnobsAndKeys)
{
    HostWorld world(HostWorld::Load::BuildBundle);
    Companion switched(world, PLUGIN_URI_MONO, 0.0f);
    Companion knobs(world, PLUGIN_URI_MONO, 0.0f);
    ASSERT_TRUE(switched.ready() && knobs.ready());
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
    std::vector<float> in(BLOCK), left[2], right[2];
    for (int i = 0; i < 2; ++i) {
        left[i].assign(BLOCK, 0.0f);
        right[i].assign(BLOCK, 0.0f);
    }
    const float keys_chord[4] = {62, 74, 74, 74};
    const float knob_chord[4] = {60, 64, 67, 72};
    for (int block = 0; block < 300; ++block) {
        for (float& x : in) x = noise(rng);
        std::vector<Key> sent;
        if (block == 50) sent = {{17, 0x90, 62}, {90, 0x80, 62}};  // played on the knobs' watch
        if (block == 100 || block == 200) {
            const bool to_keys = block == 100;
            switched.control("notes_from") = to_keys ? 1.0f : 0.0f;
            for (int t = 0; t < 4; ++t) {
                knobs.control(("note_" + std::to_string(t + 1)).c_str()) =
                    to_keys ? keys_chord[t] : knob_chord[t];
            }
        }
        switched.run(in, 0, BLOCK, left[0], right[0], sent);
        knobs.run(in, 0, BLOCK, left[1], right[1]);
        ASSERT_EQ(0, std::memcmp(left[0].data(), left[1].data(), BLOCK * sizeof(float)))
            << "block " << block;
        ASSERT_EQ(0, std::memcmp(right[0].data(), right[1].data(), BLOCK * sizeof(float)))
            << "block " << block;
    }
}
