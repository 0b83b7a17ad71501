#pragma once

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/instance.h"
#include "plugin/ports.h"
#include "urid_map.h"

// The four tubes' outputs at one frame as a companion at width 0 and mix
// 100 % puts them on each output: every tube at the gain of the centre (half
// of an equal-power centre), summed tube 1 first. Written out here rather
// than taken from the library.
float centred_tubes(float t1, float t2, float t3, float t4);

// Drives a companion (mono or stereo) through its descriptor, as a host does:
// every port connected to storage of its own, every control at the table's
// default, and a MIDI input to which key changes can be queued for the next
// run.
class CompanionHost {
public:
    CompanionHost(PluginKind kind, double sample_rate, uint32_t max_frames = 4096,
                  const LV2_Feature* const* features = host_features());
    ~CompanionHost();
    CompanionHost(const CompanionHost&) = delete;
    CompanionHost& operator=(const CompanionHost&) = delete;

    // The control's value, by its symbol's id; the plug-in must have it.
    float& control(ControlId id) { return controls_[id]; }
    // Queues a MIDI message at a frame of the next run (frames in order).
    void queue_midi(uint32_t frame, uint8_t status, uint8_t data1, uint8_t data2);
    void run(uint32_t frames);
    // The outputs written into the input buffers: left into left and right
    // into right, or crossed. What the run writes is then in in_left and
    // in_right.
    void connect_in_place(bool crossed);

    std::vector<float> in_left, in_right, out_left, out_right;
    PluginInstance& instance() { return *static_cast<PluginInstance*>(handle_); }
    const LV2_Descriptor* descriptor() const { return descriptor_; }
    LV2_Handle handle() const { return handle_; }

private:
    PluginKind kind_;
    const LV2_Descriptor* descriptor_;
    LV2_Handle handle_;
    float controls_[CONTROL_COUNT];
    alignas(8) uint8_t midi_[4096];
};
