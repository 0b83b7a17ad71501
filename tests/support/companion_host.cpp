#include "support/companion_host.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "midi_sequence.h"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

float centred_tubes(float t1, float t2, float t3, float t4)
{
    static const float centre = static_cast<float>(0.5 * std::cos(3.14159265358979323846 / 4.0));
    return ((centre * t1 + centre * t2) + centre * t3) + centre * t4;
}

CompanionHost::CompanionHost(PluginKind kind, double sample_rate, uint32_t max_frames,
                             const LV2_Feature* const* features)
    : in_left(max_frames, 0.0f),
      in_right(max_frames, 0.0f),
      out_left(max_frames, 0.0f),
      out_right(max_frames, 0.0f),
      kind_(kind),
      descriptor_(lv2_descriptor(static_cast<uint32_t>(kind))),
      handle_(descriptor_->instantiate(descriptor_, sample_rate, "/nonexistent/", features))
{
    if (handle_ == nullptr) throw std::runtime_error("the companion did not instantiate");
    for (int id = 0; id < CONTROL_COUNT; ++id) {
        controls_[id] = CONTROLS[id].default_value;
    }
    const PortRow* ports = kind == PluginKind::MONO ? MONO_PORTS : STEREO_PORTS;
    const uint32_t count = kind == PluginKind::MONO ? uint32_t(MONO_PORT_COUNT)
                                                    : uint32_t(STEREO_PORT_COUNT);
    for (uint32_t port = 0; port < count; ++port) {
        void* data = nullptr;
        switch (ports[port].kind) {
        case PortKind::AUDIO_IN:
            data = ports[port].slot == 0 ? in_left.data() : in_right.data();
            break;
        case PortKind::AUDIO_OUT:
            data = ports[port].slot == 0 ? out_left.data() : out_right.data();
            break;
        case PortKind::MIDI_IN:
            data = empty_midi_sequence(midi_);
            break;
        case PortKind::CONTROL:
            data = &controls_[ports[port].slot];
            break;
        }
        descriptor_->connect_port(handle_, port, data);
    }
    descriptor_->activate(handle_);
}

CompanionHost::~CompanionHost()
{
    descriptor_->deactivate(handle_);
    descriptor_->cleanup(handle_);
}

void CompanionHost::queue_midi(uint32_t frame, uint8_t status, uint8_t data1, uint8_t data2)
{
    if (!append_midi(reinterpret_cast<LV2_Atom_Sequence*>(midi_), sizeof midi_, frame, status,
                     data1, data2)) {
        throw std::runtime_error("MIDI buffer full");
    }
}

void CompanionHost::connect_in_place(bool crossed)
{
    const PortRow* ports = kind_ == PluginKind::MONO ? MONO_PORTS : STEREO_PORTS;
    const uint32_t count = kind_ == PluginKind::MONO ? uint32_t(MONO_PORT_COUNT)
                                                     : uint32_t(STEREO_PORT_COUNT);
    for (uint32_t port = 0; port < count; ++port) {
        if (ports[port].kind != PortKind::AUDIO_OUT) continue;
        const bool left = (ports[port].slot == 0) != crossed;
        descriptor_->connect_port(handle_, port, left ? in_left.data() : in_right.data());
    }
}

void CompanionHost::run(uint32_t frames)
{
    descriptor_->run(handle_, frames);
    // A host clears the input sequence after each run.
    empty_midi_sequence(midi_);
}
