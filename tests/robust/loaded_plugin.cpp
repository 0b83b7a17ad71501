#include "loaded_plugin.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <stdexcept>

#include "diag/debug_log.h"

LoadedPlugin::LoadedPlugin(const std::string& path)
    : library_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)), descriptor_(nullptr)
{
    if (library_ == nullptr) {
        throw std::runtime_error(std::string("cannot load the plug-in: ") + dlerror());
    }
    using Entry = const LV2_Descriptor* (*)(uint32_t);
    auto entry = reinterpret_cast<Entry>(dlsym(library_, "lv2_descriptor"));
    if (entry == nullptr || (descriptor_ = entry(0)) == nullptr) {
        dlclose(library_);
        throw std::runtime_error("the plug-in has no descriptor 0");
    }
}

const LV2_Descriptor* LoadedPlugin::descriptor(uint32_t index) const
{
    using Entry = const LV2_Descriptor* (*)(uint32_t);
    return reinterpret_cast<Entry>(dlsym(library_, "lv2_descriptor"))(index);
}

LoadedPlugin::~LoadedPlugin()
{
    dlclose(library_);
}

HostInstance::HostInstance(const LV2_Descriptor* descriptor, double sample_rate,
                           uint32_t max_frames)
    : descriptor_(descriptor),
      handle_(descriptor->instantiate(descriptor, sample_rate, "/nonexistent/", nullptr)),
      capacity_(max_frames),
      controls_(),
      output_ports_()
{
    for (int i = 0; i < TUBE_COUNT; ++i) {
        inputs_[i].assign(max_frames, 0.0f);
        outputs_[i].assign(max_frames, 0.0f);
    }
    for (uint32_t port = PORT_NOTE_1; port < PORT_COUNT; ++port) {
        control(port) = default_control(port);
    }
    if (handle_ != nullptr) {
        connect_separately();
    }
}

HostInstance::~HostInstance()
{
    if (handle_ != nullptr) {
        descriptor_->cleanup(handle_);
    }
}

void HostInstance::connect_separately()
{
    for (int i = 0; i < TUBE_COUNT; ++i) {
        connect(PORT_IN_1 + i, inputs_[i].data());
        connect(PORT_OUT_1 + i, outputs_[i].data());
        output_ports_[i] = outputs_[i].data();
    }
    for (uint32_t port = PORT_NOTE_1; port < PORT_COUNT; ++port) {
        connect(port, &control(port));
    }
}

void HostInstance::connect_in_place(const std::array<int, TUBE_COUNT>& pairing)
{
    for (int i = 0; i < TUBE_COUNT; ++i) {
        float* shared = inputs_[pairing[i]].data();
        connect(PORT_OUT_1 + i, shared);
        output_ports_[i] = shared;
    }
}

void HostInstance::run(uint32_t frames)
{
    descriptor_->run(handle_, frames);
}

float default_control(uint32_t port)
{
    if (port >= PORT_COUNT || FOUR_PORTS[port].kind != PortKind::CONTROL) {
        return 0.0f;
    }
    return CONTROLS[FOUR_PORTS[port].slot].default_value;
}

void fill_noise_bursts(float* data, uint32_t frames, uint32_t period, uint32_t burst, uint32_t seed)
{
    uint32_t state = seed * 2654435761u + 1u;
    for (uint32_t s = 0; s < frames; ++s) {
        state = state * 1664525u + 1013904223u;
        const float noise = static_cast<float>(state >> 8) * (2.0f / 16777216.0f) - 1.0f;
        data[s] = s % period < burst ? noise : 0.0f;
    }
}

bool log_file_exists()
{
    // Anything at the path, a dangling link included.
    struct stat info;
    return lstat(LOG_PATH, &info) == 0;
}

std::vector<std::string> log_lines()
{
    std::vector<std::string> lines;
    std::ifstream file(LOG_PATH);
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool is_whole_log_line(const std::string& line)
{
    // "%f" of a float widened to double: an optional sign, digits, six
    // decimals; or nan/inf, which a NaN or infinite feedback prints.
    static const std::regex feedback(R"(fdbk: (-?[0-9]+\.[0-9]{6}|-?nan|-?inf) sz: [0-9]+)");
    return line == "### log is active now ### " || std::regex_match(line, feedback);
}
