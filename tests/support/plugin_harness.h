#pragma once

#include <lv2/core/lv2.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/instance.h"
#include "plugin/ports.h"

// Drives one instance through the descriptor, as a host does, with buffers
// and control values it owns.
struct Control {
    float note[TUBE_COUNT] = {
        CONTROLS[CONTROL_NOTE_1].default_value, CONTROLS[CONTROL_NOTE_2].default_value,
        CONTROLS[CONTROL_NOTE_3].default_value, CONTROLS[CONTROL_NOTE_4].default_value};
    float transpose = CONTROLS[CONTROL_TRANSPOSE].default_value;
    float decay = CONTROLS[CONTROL_DECAY].default_value;
    float level = CONTROLS[CONTROL_LEVEL].default_value;
    float damping = CONTROLS[CONTROL_DAMPING].default_value;
};

class PluginHarness {
public:
    explicit PluginHarness(double sample_rate, uint32_t max_frames = 4096);
    ~PluginHarness();
    PluginHarness(const PluginHarness&) = delete;
    PluginHarness& operator=(const PluginHarness&) = delete;

    // Runs `frames` frames, in several calls when they exceed the buffers.
    void run(uint32_t frames);

    const LV2_Descriptor* descriptor;
    LV2_Handle handle;
    Control control;
    std::array<std::vector<float>, TUBE_COUNT> in;
    std::array<std::vector<float>, TUBE_COUNT> out;

    PluginInstance& instance() { return *static_cast<PluginInstance*>(handle); }
    TubeBank& bank() { return *instance().bank; }
    // Tube i as it stands now, as a record.
    Tube tube(int i) { return load_tube(bank(), i); }
    // Changes tube i in place.
    template <class Edit>
    void edit_tube(int i, Edit edit)
    {
        Tube record = tube(i);
        edit(record);
        store_tube(bank(), i, record);
    }
};

// Puts a tube at rest at `length` sub-steps, as a finished glide leaves it:
// the write index runs `length` ahead of the read position (counting the
// advance the glide sees) and no request waits.
void place_at_rest(Tube& tube, uint64_t length);

// Tube i of a new instance (after its first, empty run) put at rest at
// `from` sub-steps, with a glide to `to` asked for.
void start_glide(PluginHarness& h, int i, uint64_t from, uint64_t to);

// Reads the log file's lines (empty when it does not exist).
std::vector<std::string> read_log_lines();

// Owns the log file for one test: removes it now and when the test ends.
struct LogFileGuard {
    LogFileGuard();
    ~LogFileGuard();
    // Creates the file with the given content (the switch and level).
    void create(const char* content);
    void remove();
};
