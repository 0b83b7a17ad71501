#pragma once

#include <lv2/core/lv2.h>

#include <string>
#include <vector>

// The plug-ins under measurement, each a shared object reached only through
// lv2_descriptor, as a host reaches it.

#include "plugin/port_rows.h"

struct PluginUnderTest {
    std::string name;  // label in the results, e.g. "scalar"
    std::string path;
    const LV2_Descriptor* descriptor;
    PluginKind kind;  // which of the library's plug-ins: its descriptor index
};

// Takes every "--plugin NAME=PATH" (or "--plugin=NAME=PATH") out of argv and
// loads each library; PATH#1 and PATH#2 name the library's mono and stereo
// companions (descriptor index 1 and 2) instead of its first plug-in. It
// loads each; with none given, loads default_path as "plugin". The
// libraries stay loaded for the life of the process. Exits with a message
// when a library cannot be loaded or two names resolve to the same library.
std::vector<PluginUnderTest> load_plugins(int& argc, char** argv, const char* default_path);
