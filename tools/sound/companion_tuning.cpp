#include "companion_tuning.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <string>

#include "analysis.h"
#include "engine/sample_steps.h"
#include "fft.h"
#include "measurements.h"

namespace {

constexpr const char* COMPANION = PLUGIN_URI_MONO;
constexpr size_t BLOCK = 256;  // as TubeInstance runs the four-channel plug-in

// The modulation's period, in frames at any rate: its phase sweeps -1..1 in
// steps of LFO_STEP, one per sub-step.
constexpr double MODULATION_FRAMES = 2.0 / double(LFO_STEP) / double(SUB_STEPS);

const char* const NOTES[] = {"note_1", "note_2", "note_3", "note_4"};

struct NodeFree {
    void operator()(LilvNode* node) const { lilv_node_free(node); }
};
using Node = std::unique_ptr<LilvNode, NodeFree>;

// The mono companion, every port connected: its one audio input, the left
// output (the tubes are all on one note and the width at 0, so the right
// output holds the same), an empty MIDI sequence and every control at its
// default until set.
class MonoCompanion {
public:
    MonoCompanion(HostWorld& host, double sample_rate)
    {
        LilvWorld* world = host.world();
        Node uri(lilv_new_uri(world, COMPANION));
        const LilvPlugin* plugin =
            lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri.get());
        if (plugin == nullptr) return;
        map_feature_ = {LV2_URID__map, host.map()};
        features_[0] = &map_feature_;
        features_[1] = nullptr;
        midi_.atom.size = sizeof(LV2_Atom_Sequence_Body);
        midi_.atom.type = host.map()->map(host.map()->handle, LV2_ATOM__Sequence);
        midi_.body.unit = 0;
        midi_.body.pad = 0;

        const uint32_t ports = lilv_plugin_get_num_ports(plugin);
        controls_.assign(ports, 0.0f);
        lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, controls_.data());
        Node audio(lilv_new_uri(world, LV2_CORE__AudioPort));
        Node input(lilv_new_uri(world, LV2_CORE__InputPort));
        Node atom(lilv_new_uri(world, LV2_ATOM__AtomPort));
        instance_ = lilv_plugin_instantiate(plugin, sample_rate, features_);
        if (instance_ == nullptr) return;
        in_.assign(BLOCK, 0.0f);
        out_[0].assign(BLOCK, 0.0f);
        out_[1].assign(BLOCK, 0.0f);
        int outs = 0;
        for (uint32_t i = 0; i < ports; ++i) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
            index_[lilv_node_as_string(lilv_port_get_symbol(plugin, port))] = i;
            const bool is_input = lilv_port_is_a(plugin, port, input.get());
            if (lilv_port_is_a(plugin, port, audio.get())) {
                lilv_instance_connect_port(instance_, i,
                                           is_input ? in_.data() : out_[outs++ % 2].data());
            } else if (lilv_port_is_a(plugin, port, atom.get())) {
                lilv_instance_connect_port(instance_, i, &midi_);
            } else {
                lilv_instance_connect_port(instance_, i, &controls_[i]);
            }
        }
        lilv_instance_activate(instance_);
    }

    ~MonoCompanion()
    {
        if (instance_ == nullptr) return;
        lilv_instance_deactivate(instance_);
        lilv_instance_free(instance_);
    }
    MonoCompanion(const MonoCompanion&) = delete;
    MonoCompanion& operator=(const MonoCompanion&) = delete;

    bool valid() const { return instance_ != nullptr; }
    void set(const std::string& symbol, float value) { controls_[index_.at(symbol)] = value; }

    // The left output for `input`, in blocks of a host's usual size.
    std::vector<float> run(const std::vector<float>& input)
    {
        std::vector<float> output(input.size());
        for (size_t start = 0; start < input.size(); start += BLOCK) {
            const size_t frames = std::min(BLOCK, input.size() - start);
            std::copy_n(input.begin() + long(start), frames, in_.begin());
            lilv_instance_run(instance_, uint32_t(frames));
            std::copy_n(out_[0].begin(), frames, output.begin() + long(start));
        }
        return output;
    }

private:
    LV2_Feature map_feature_{};
    const LV2_Feature* features_[2] = {nullptr, nullptr};
    LV2_Atom_Sequence midi_{};
    LilvInstance* instance_ = nullptr;
    std::vector<float> controls_;
    std::map<std::string, uint32_t> index_;
    std::vector<float> in_;
    std::vector<float> out_[2];
};

// How one hit rings: silence for `settle` frames, then the hit and
// TUNING_SECONDS of ringing.
Ringing hit(HostWorld& host, double sample_rate, double damping_hz, int note, size_t settle)
{
    MonoCompanion companion(host, sample_rate);
    if (!companion.valid()) return Ringing{double(note), {NAN}, NAN, {}, NAN};
    for (const char* symbol : NOTES) companion.set(symbol, float(note));
    companion.set("tuning", 0.0f);  // In tune
    companion.set("notes_from", 0.0f);
    companion.set("mix", 100.0f);
    companion.set("width", 0.0f);
    companion.set("decay", float(TUNING_DECAY_MS));
    companion.set("damping", float(damping_hz));
    companion.run(std::vector<float>(settle, 0.0f));
    const size_t frames = frames_for(TUNING_SECONDS, sample_rate);
    std::vector<float> input(frames, 0.0f);
    input[0] = HIT;
    return ringing_of(companion.run(input), sample_rate, note, false, 0.45 * sample_rate, 10,
                      2 * power_of_two_at_least(frames));
}

}  // namespace

CompanionPitch measure_companion_pitch(HostWorld& host, double sample_rate, double damping_hz,
                                       int note)
{
    CompanionPitch p;
    p.sample_rate = sample_rate;
    p.damping_hz = damping_hz;
    p.note = note;
    const size_t settle = frames_for(SETTLE_S, sample_rate);
    const auto half_period = size_t(MODULATION_FRAMES / 2.0);
    const Ringing first = hit(host, sample_rate, damping_hz, note, settle);
    const Ringing second = hit(host, sample_rate, damping_hz, note, settle + half_period);
    p.hit_cents[0] = cents(first.spacing_hz, note_hz(note));
    p.hit_cents[1] = cents(second.spacing_hz, note_hz(note));
    p.lowest_cents = first.partials.empty() ? NAN : cents(first.partials[0], note_hz(note));
    p.second_lift = first.partials.size() < 2 ? NAN : first.partials[1] / note_hz(note) - 2.0;
    p.centre_cents = 0.5 * (p.hit_cents[0] + p.hit_cents[1]);
    // Beyond the longest loop a line in tune holds at this rate.
    const auto longest = double(line_size_for(TUNING_IN_TUNE, float(sample_rate)) - 1);
    p.out_of_reach = double(SUB_STEPS) * sample_rate / note_hz(note) > longest;
    return p;
}

std::vector<CompanionPitch> measure_companion_tuning(HostWorld& host)
{
    constexpr int LOWEST = 24, HIGHEST = 84;
    std::vector<CompanionPitch> rows;
    for (const double rate : COMPANION_RATES) {
        for (const double damping : COMPANION_DAMPINGS) {
            for (int note = LOWEST; note <= HIGHEST; ++note) {
                rows.push_back(measure_companion_pitch(host, rate, damping, note));
            }
        }
    }
    return rows;
}
