#include "plugin_loader.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "%s\n", message.c_str());
    std::exit(2);
}

// The library is opened on a thread of its own that ends at once: whatever
// its load-time code sets in the loading thread's floating-point mode never
// reaches the thread that calls run, just as a host's audio thread never
// sees it.
const LV2_Descriptor* load_on_other_thread(const std::string& path, uint32_t index)
{
    const LV2_Descriptor* descriptor = nullptr;
    std::string error;
    std::thread loader([&] {
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            error = dlerror();
            return;
        }
        using Entry = const LV2_Descriptor* (*)(uint32_t);
        auto entry = reinterpret_cast<Entry>(dlsym(library, "lv2_descriptor"));
        descriptor = entry != nullptr ? entry(index) : nullptr;
        if (descriptor == nullptr) {
            error = path + ": no descriptor " + std::to_string(index);
        }
    });
    loader.join();
    if (descriptor == nullptr) {
        fail("cannot load the plug-in: " + error);
    }
    return descriptor;
}

PluginUnderTest parse(const std::string& spec)
{
    const auto equals = spec.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == spec.size()) {
        fail("--plugin wants NAME=PATH, got \"" + spec + "\"");
    }
    std::string path = spec.substr(equals + 1);
    PluginKind kind = PluginKind::FOUR;
    const auto hash = path.rfind('#');
    if (hash != std::string::npos && (path.substr(hash) == "#1" || path.substr(hash) == "#2")) {
        kind = path[hash + 1] == '1' ? PluginKind::MONO : PluginKind::STEREO;
        path.resize(hash);
    }
    return {spec.substr(0, equals), path, nullptr, kind};
}

}  // namespace

std::vector<PluginUnderTest> load_plugins(int& argc, char** argv, const char* default_path)
{
    std::vector<PluginUnderTest> plugins;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--plugin") == 0) {
            if (i + 1 == argc) {
                fail("--plugin wants NAME=PATH");
            }
            plugins.push_back(parse(argv[++i]));
        } else if (std::strncmp(arg, "--plugin=", 9) == 0) {
            plugins.push_back(parse(arg + 9));
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    if (plugins.empty()) {
        plugins.push_back({"plugin", default_path, nullptr, PluginKind::FOUR});
    }

    for (PluginUnderTest& plugin : plugins) {
        plugin.descriptor = load_on_other_thread(plugin.path, static_cast<uint32_t>(plugin.kind));
    }
    // The dynamic loader hands out one copy per file: two names for one file
    // would compare the library with itself.
    for (size_t a = 0; a < plugins.size(); ++a) {
        for (size_t b = a + 1; b < plugins.size(); ++b) {
            if (plugins[a].descriptor == plugins[b].descriptor) {
                fail(plugins[a].name + " and " + plugins[b].name + " are the same library");
            }
            if (plugins[a].name == plugins[b].name) {
                fail("two plug-ins named " + plugins[a].name);
            }
        }
    }
    return plugins;
}
