#include "support/plugin_harness.h"

#include <cstdio>
#include <fstream>
#include <string>

#include "diag/debug_log.h"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

PluginHarness::PluginHarness(double sample_rate, uint32_t max_frames)
    : descriptor(lv2_descriptor(0)),
      handle(descriptor->instantiate(descriptor, sample_rate, "/nonexistent/", nullptr))
{
    for (int i = 0; i < TUBE_COUNT; ++i) {
        in[i].assign(max_frames, 0.0f);
        out[i].assign(max_frames, 0.0f);
        descriptor->connect_port(handle, PORT_IN_1 + i, in[i].data());
        descriptor->connect_port(handle, PORT_OUT_1 + i, out[i].data());
        descriptor->connect_port(handle, PORT_NOTE_1 + i, &control.note[i]);
    }
    descriptor->connect_port(handle, PORT_TRANSPOSE, &control.transpose);
    descriptor->connect_port(handle, PORT_DECAY, &control.decay);
    descriptor->connect_port(handle, PORT_LEVEL, &control.level);
    descriptor->connect_port(handle, PORT_DAMPING, &control.damping);
    descriptor->activate(handle);
}

PluginHarness::~PluginHarness()
{
    descriptor->deactivate(handle);
    descriptor->cleanup(handle);
}

void PluginHarness::run(uint32_t frames)
{
    // Longer runs go in buffer-sized calls; the buffers keep the last one.
    const auto capacity = static_cast<uint32_t>(in[0].size());
    do {
        const uint32_t now = frames < capacity ? frames : capacity;
        descriptor->run(handle, now);
        frames -= now;
    } while (frames > 0);
}

void place_at_rest(Tube& tube, uint64_t length)
{
    tube.read_pos = 0.0f;
    tube.write_index = length - 1;
    tube.length = length;
    tube.glide_target = length;
    tube.gliding = false;
    tube.read_speed = 1.0f;
    tube.pending_length = 0;
}

void start_glide(PluginHarness& h, int i, uint64_t from, uint64_t to)
{
    h.run(0);
    h.edit_tube(i, [&](Tube& t) {
        place_at_rest(t, from);
        t.pending_length = to;
    });
}

std::vector<std::string> read_log_lines()
{
    std::vector<std::string> lines;
    std::ifstream file(LOG_PATH);
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

LogFileGuard::LogFileGuard()
{
    remove();
}
LogFileGuard::~LogFileGuard()
{
    remove();
}

void LogFileGuard::create(const char* content)
{
    std::ofstream file(LOG_PATH, std::ios::trunc);
    file << content;
}

void LogFileGuard::remove()
{
    std::remove(LOG_PATH);
}
