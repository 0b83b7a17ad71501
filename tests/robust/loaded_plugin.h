#pragma once

#include <lv2/core/lv2.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/instance.h"
#include "plugin/ports.h"

// The plug-in as a host gets it: the shared object from the bundle, loaded
// with dlopen, reached only through lv2_descriptor. Used where the point is
// what the library does inside a real process (its calls into the C library,
// its behaviour under a memory checker), not what the linked objects do.

class LoadedPlugin {
public:
    explicit LoadedPlugin(const std::string& path);
    ~LoadedPlugin();
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;

    const LV2_Descriptor* descriptor() const { return descriptor_; }
    // The library's descriptor at another index (null past the last).
    const LV2_Descriptor* descriptor(uint32_t index) const;

private:
    void* library_;
    const LV2_Descriptor* descriptor_;
};

#ifdef PLUGIN_LIBRARY
// The bundle's library, loaded once per process, before any thread needs it.
inline const LoadedPlugin& loaded_plugin()
{
    static const LoadedPlugin plugin(PLUGIN_LIBRARY);
    return plugin;
}
inline const LV2_Descriptor* descriptor()
{
    return loaded_plugin().descriptor();
}
#endif

// Port storage for one instance, sized once so that nothing in the audio
// path of the host side allocates either.
class HostInstance {
public:
    HostInstance(const LV2_Descriptor* descriptor, double sample_rate, uint32_t max_frames);
    ~HostInstance();
    HostInstance(const HostInstance&) = delete;
    HostInstance& operator=(const HostInstance&) = delete;

    bool valid() const { return handle_ != nullptr; }

    // Every port to a buffer or value of its own, the controls at their
    // defaults.
    void connect_separately();
    // Tube i writes into the buffer that input pairing[i] reads from.
    void connect_in_place(const std::array<int, TUBE_COUNT>& pairing);

    void run(uint32_t frames);
    void connect(uint32_t port, void* data) { descriptor_->connect_port(handle_, port, data); }
    void activate() { descriptor_->activate(handle_); }
    void deactivate() { descriptor_->deactivate(handle_); }

    float& control(uint32_t port) { return controls_[port - PORT_NOTE_1]; }
    float* input(int tube) { return inputs_[tube].data(); }
    // What tube i wrote in the last run, wherever its output port points.
    const float* output(int tube) const { return output_ports_[tube]; }
    uint32_t capacity() const { return capacity_; }

    PluginInstance& internals() { return *static_cast<PluginInstance*>(handle_); }

private:
    const LV2_Descriptor* descriptor_;
    LV2_Handle handle_;
    uint32_t capacity_;
    std::array<float, PORT_COUNT - PORT_NOTE_1> controls_;
    std::array<std::vector<float>, TUBE_COUNT> inputs_;
    std::array<std::vector<float>, TUBE_COUNT> outputs_;
    std::array<float*, TUBE_COUNT> output_ports_;
};

// The control values the bundle declares as defaults, by port.
float default_control(uint32_t port);

// Deterministic noise in [-1, 1): bursts of `burst` frames every `period`
// frames, silence between them.
void fill_noise_bursts(float* data, uint32_t frames, uint32_t period, uint32_t burst,
                       uint32_t seed);

// The log file at its fixed path: whether anything is there, and its lines.
bool log_file_exists();
std::vector<std::string> log_lines();

// Whether `line` is exactly one of the two messages the log writes.
bool is_whole_log_line(const std::string& line);
