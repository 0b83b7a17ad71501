#pragma once

#include <cstdint>

// The shapes of the rows of plugin/ports.h, which the build generates from
// src/plugin/ports.table.

// The plug-ins of the bundle, in the order of lv2_descriptor's index.
enum class PluginKind : uint8_t { FOUR, MONO, STEREO };
inline constexpr int PLUGIN_KIND_COUNT = 3;

constexpr uint8_t plugin_bit(PluginKind kind)
{
    return uint8_t(1u << static_cast<unsigned>(kind));
}

// One control: its symbol, its declared range and default, and the plug-ins
// that have it (a plugin_bit each).
struct ControlRow {
    const char* symbol;
    float minimum;
    float maximum;
    float default_value;
    uint8_t plugins;
};

enum class PortKind : uint8_t { AUDIO_IN, AUDIO_OUT, MIDI_IN, CONTROL };

// One port of a plug-in: its kind; for an audio port its channel among the
// plug-in's inputs or outputs, for a control its ControlId; its symbol.
struct PortRow {
    PortKind kind;
    int slot;
    const char* symbol;
};
