// Instructions per frame of run, under callgrind: every case of plugin_bench
// (same sessions, same inputs) for a fixed number of frames, with collection
// switched on around each call of run (and the delivery of the worker's
// answers after it, on the same thread) and nowhere else. Each case ends in a
// dump of its own whose description names the case and the frames it ran,
// counted here; tools/bench-instructions divides callgrind's total for each
// dump by them.
//
//   valgrind --tool=callgrind --collect-atstart=no callgrind_driver
//       [--plugin NAME=PATH ...] [FRAMES]

#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_session.h"
#include "plugin_loader.h"

namespace {

// Whole periods of the input and of the glide schedule: two bursts, eight
// rounds of transposes.
constexpr uint64_t DEFAULT_FRAMES = 2 * TRACK_FRAMES;

void measure(const PluginUnderTest& plugin, Motion motion, uint32_t block, uint64_t frames)
{
    wait_for_log_off();
    BenchSession session(plugin.descriptor, motion, block, plugin.kind);
    session.settle();
    CALLGRIND_ZERO_STATS;
    uint64_t done = 0;
    while (done < frames) {
        session.next_block();
        CALLGRIND_TOGGLE_COLLECT;
        session.run();
        CALLGRIND_TOGGLE_COLLECT;
        // The worker thread's share is not the audio thread's cost.
        session.work();
        done += block;
    }
    char description[256];
    std::snprintf(description, sizeof description, "case %s/%u/%s frames %llu log %s",
                  motion_name(motion), block, plugin.name.c_str(),
                  static_cast<unsigned long long>(done), session.log_on() ? "on" : "off");
    CALLGRIND_DUMP_STATS_AT(description);
    std::printf("%s\n", description);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<PluginUnderTest> plugins = load_plugins(argc, argv, PLUGIN_LIBRARY);
    const uint64_t frames = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : DEFAULT_FRAMES;
    if (frames == 0) {
        std::fprintf(stderr, "usage: %s [--plugin NAME=PATH ...] [FRAMES]\n", argv[0]);
        return 2;
    }
    if (!RUNNING_ON_VALGRIND) {
        std::fprintf(stderr, "%s: run under valgrind --tool=callgrind --collect-atstart=no\n",
                     argv[0]);
    }
    for (const Motion motion : BENCH_MOTIONS) {
        for (const uint32_t block : BENCH_BLOCKS) {
            for (const PluginUnderTest& plugin : plugins) {
                measure(plugin, motion, block, frames);
            }
        }
    }
    return 0;
}
