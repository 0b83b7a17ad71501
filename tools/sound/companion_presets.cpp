// The companions' presets, measured through lilv as a host applies them:
// writes a Markdown section for docs/presets.md on standard output.
//
//   measure_companion_presets      (LV2_PATH must lead to the bundle)
//
// Each preset of the Mono companion is applied through lilv's state
// interface to a new instance at 48 kHz; after half a second of silence (the
// start-up glide) a unit impulse goes in. The dry part of each output is the
// output at the impulse's frame, where no tube has answered yet (a loop is
// at least 30 frames long); the ringing is everything after it. A preset
// that takes its notes from MIDI is played C4, E4 and G4 on its MIDI input at
// the start, and its output is compared with the same preset set to the
// knobs with the chord those keys give (C4 E4 G4 C5).

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/urid/urid.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "analysis.h"
#include "midi_sequence.h"
#include "urid_map.h"

namespace {

constexpr double RATE = 48000.0;
constexpr size_t BLOCK = 256;
constexpr double GLIDE_SECONDS = 0.5;
constexpr double RING_SECONDS = 8.0;
constexpr uint8_t KEYS[] = {60, 64, 67};
constexpr float KEYS_CHORD[4] = {60, 64, 67, 72};
constexpr const char* PSET_PRESET = "http://lv2plug.in/ns/ext/presets#Preset";
constexpr const char* RDFS_LABEL = "http://www.w3.org/2000/01/rdf-schema#label";

struct NodeFree {
    void operator()(LilvNode* node) const { lilv_node_free(node); }
};
using Node = std::unique_ptr<LilvNode, NodeFree>;

struct Render {
    std::vector<float> left, right;
    std::map<std::string, float> controls;
};

class Companion {
public:
    Companion(LilvWorld* world, const LilvPlugin* plugin) : world_(world), plugin_(plugin)
    {
        const uint32_t ports = lilv_plugin_get_num_ports(plugin);
        values_.assign(ports, 0.0f);
        lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, values_.data());
        instance_ = lilv_plugin_instantiate(plugin, RATE, host_features());
        for (uint32_t p = 0; p < ports; ++p) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin, p);
            symbols_[lilv_node_as_string(lilv_port_get_symbol(plugin, port))] = p;
            if (!std::isnan(values_[p])) lilv_instance_connect_port(instance_, p, &values_[p]);
        }
        midi_.assign(256, 0);
        lilv_instance_connect_port(instance_, symbols_.at("midi_in"), midi_.data());
        lilv_instance_activate(instance_);
    }
    ~Companion()
    {
        lilv_instance_deactivate(instance_);
        lilv_instance_free(instance_);
    }

    float& control(const std::string& symbol) { return values_[symbols_.at(symbol)]; }

    void apply(const LilvNode* preset)
    {
        LilvState* state = lilv_state_new_from_world(world_, host_urid_map(), preset);
        if (state == nullptr) return;
        lilv_state_restore(state, instance_, set_from_state, this, 0, nullptr);
        lilv_state_free(state);
    }

    // Silence for the glide (keys pressed at its first frame), then a unit
    // impulse at `hit`.
    Render render(bool play_keys, size_t hit, size_t frames)
    {
        Render r;
        r.left.assign(frames, 0.0f);
        r.right.assign(frames, 0.0f);
        std::vector<float> in(BLOCK);
        for (size_t start = 0; start < frames; start += BLOCK) {
            const size_t n = std::min(BLOCK, frames - start);
            std::fill(in.begin(), in.end(), 0.0f);
            if (hit >= start && hit < start + n) in[hit - start] = 1.0f;
            lilv_instance_connect_port(instance_, symbols_.at("in"), in.data());
            lilv_instance_connect_port(instance_, symbols_.at("out_left"), &r.left[start]);
            lilv_instance_connect_port(instance_, symbols_.at("out_right"), &r.right[start]);
            write_keys(play_keys && start == 0);
            lilv_instance_run(instance_, uint32_t(n));
        }
        for (const auto& [symbol, index] : symbols_) {
            if (!std::isnan(values_[index])) r.controls[symbol] = values_[index];
        }
        return r;
    }

private:
    static void set_from_state(const char* symbol, void* self, const void* value, uint32_t size,
                               uint32_t type)
    {
        auto* c = static_cast<Companion*>(self);
        if (type != map_uri(nullptr, LV2_ATOM__Float) || size != sizeof(float)) return;
        std::memcpy(&c->control(symbol), value, sizeof(float));
    }

    void write_keys(bool keys)
    {
        LV2_Atom_Sequence* sequence = empty_midi_sequence(midi_.data());
        for (size_t k = 0; keys && k < sizeof KEYS; ++k) {
            append_midi(sequence, uint32_t(midi_.size() * sizeof midi_[0]), 0, 0x90, KEYS[k], 100);
        }
    }

    LilvWorld* world_;
    const LilvPlugin* plugin_;
    LilvInstance* instance_;
    std::vector<float> values_;
    std::map<std::string, uint32_t> symbols_;
    std::vector<uint64_t> midi_;
};

std::string note_name(float note)
{
    static const char* names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    const int n = int(std::lround(note));
    return std::string(names[n % 12]) + std::to_string(n / 12 - 1);
}

double decibels(double gain)
{
    return 20.0 * std::log10(std::fabs(gain));
}

double peak_after(const std::vector<float>& x, size_t from)
{
    double peak = 0.0;
    for (size_t i = from; i < x.size(); ++i) peak = std::max(peak, std::fabs(double(x[i])));
    return peak;
}

std::string seconds_text(double s)
{
    char text[32];
    if (std::isnan(s)) return "-";
    if (s < 1.0)
        std::snprintf(text, sizeof text, "%.0f ms", s * 1000.0);
    else
        std::snprintf(text, sizeof text, "%.2f s", s);
    return text;
}

}  // namespace

int main()
{
    LilvWorld* world = lilv_world_new();
    lilv_world_load_all(world);
    Node uri(lilv_new_uri(world, PLUGIN_URI_MONO));
    const LilvPlugin* plugin =
        lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri.get());
    if (plugin == nullptr) {
        std::fprintf(stderr, "measure_companion_presets: %s not found on LV2_PATH\n",
                     PLUGIN_URI_MONO);
        return 1;
    }
    const size_t hit = size_t(GLIDE_SECONDS * RATE);
    const size_t frames = hit + size_t(RING_SECONDS * RATE);

    std::printf("\n## The companions' presets\n\n");
    std::printf(
        "The Mono and Stereo companions have the same presets: the seven chords above, "
        "as an insert (mix 50 %%, width 50 %%), and four of their own. Each applied "
        "through lilv's state interface to a new Mono companion at 48 kHz, then a unit "
        "impulse after the start-up glide. Dry: each output at the impulse's frame, "
        "before any tube answers. Ringing: the peak after it, and how long the whole "
        "ringing lasts (T60 of its energy). A preset whose notes come from MIDI is "
        "played C4, E4 and G4 on its MIDI input first.\n\n");
    std::printf(
        "| Preset | Notes | Decay | Damping | Mix | Width | Dry, left / right | "
        "Ringing peak, left / right | Ringing T60, left / right |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    Node preset_class(lilv_new_uri(world, PSET_PRESET));
    Node label_uri(lilv_new_uri(world, RDFS_LABEL));
    LilvNodes* presets = lilv_plugin_get_related(plugin, preset_class.get());
    std::vector<std::string> notes_checks;
    LILV_FOREACH(nodes, i, presets)
    {
        const LilvNode* preset = lilv_nodes_get(presets, i);
        lilv_world_load_resource(world, preset);
        Node label(lilv_world_get(world, preset, label_uri.get(), nullptr));
        Companion c(world, plugin);
        c.apply(preset);
        const bool from_keys = c.control("notes_from") >= 0.5f;
        const Render r = c.render(from_keys, hit, frames);
        std::string notes;
        for (int t = 1; t <= 4; ++t) {
            const float n =
                from_keys ? KEYS_CHORD[t - 1] : r.controls.at("note_" + std::to_string(t));
            notes += (t > 1 ? " " : "") + note_name(n);
        }
        if (from_keys) {
            // The same preset with the keys' chord on the knobs.
            Companion knobs(world, plugin);
            knobs.apply(preset);
            knobs.control("notes_from") = 0.0f;
            for (int t = 0; t < 4; ++t)
                knobs.control("note_" + std::to_string(t + 1)) = KEYS_CHORD[t];
            const Render k = knobs.render(false, hit, frames);
            const bool same =
                std::memcmp(k.left.data(), r.left.data(), frames * sizeof(float)) == 0 &&
                std::memcmp(k.right.data(), r.right.data(), frames * sizeof(float)) == 0;
            notes_checks.push_back(std::string(lilv_node_as_string(label.get())) +
                                   (same ? ": the keys C4 E4 G4 sound, to the bit, as the knobs at "
                                           "C4 E4 G4 C5."
                                         : ": the keys C4 E4 G4 do NOT sound as the knobs at C4 E4 "
                                           "G4 C5."));
            notes += " (keys C4 E4 G4)";
        }
        std::printf(
            "| %s | %s | %s | %.0f Hz | %.0f %% | %.0f %% | %.2f / %.2f | %.1f / %.1f dBFS | "
            "%s / %s |\n",
            lilv_node_as_string(label.get()), notes.c_str(),
            seconds_text(r.controls.at("decay") / 1000.0).c_str(), r.controls.at("damping"),
            r.controls.at("mix"), r.controls.at("width"), r.left[hit], r.right[hit],
            decibels(peak_after(r.left, hit + 1)), decibels(peak_after(r.right, hit + 1)),
            seconds_text(energy_decay(r.left, hit + 1, RATE)).c_str(),
            seconds_text(energy_decay(r.right, hit + 1, RATE)).c_str());
    }
    lilv_nodes_free(presets);
    std::printf("\n");
    for (const std::string& check : notes_checks) std::printf("- %s\n", check.c_str());
    // The world owns what the nodes point into: they go first.
    uri.reset();
    preset_class.reset();
    label_uri.reset();
    lilv_world_free(world);
    return 0;
}
