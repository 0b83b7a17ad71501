// One case of the benchmark (bench_session.h) for a fixed number of frames,
// with or without the calls of run, for counting instructions under an
// emulator that traces every instruction it executes (tools/count-emulated).
// Both kinds of run do the same work but for run itself: the same settling,
// the same input copies and control changes; the difference of their counts
// is what run costs over FRAMES frames.
//
//   count_driver PATH MOTION BLOCK FRAMES run|idle

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_session.h"
#include "plugin_loader.h"

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s PATH steady|gliding BLOCK FRAMES run|idle\n", argv[0]);
        return 2;
    }
    const std::string spec = std::string("plugin=") + argv[1];
    char option[] = "--plugin";
    char* plugin_args[] = {argv[0], option, const_cast<char*>(spec.c_str())};
    int plugin_argc = 3;
    const PluginUnderTest plugin = load_plugins(plugin_argc, plugin_args, argv[1]).front();

    const bool steady = std::strcmp(argv[2], "steady") == 0;
    const bool gliding = std::strcmp(argv[2], "gliding") == 0;
    const uint32_t block = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const uint64_t frames = std::strtoull(argv[4], nullptr, 10);
    const bool run = std::strcmp(argv[5], "run") == 0;
    if (!(steady || gliding) || block == 0 || frames % block != 0 ||
        !(run || std::strcmp(argv[5], "idle") == 0)) {
        std::fprintf(stderr, "%s: bad case (FRAMES must be a multiple of BLOCK)\n", argv[0]);
        return 2;
    }

    wait_for_log_off();
    BenchSession session(plugin.descriptor, steady ? Motion::steady : Motion::gliding, block);
    session.settle();
    for (uint64_t done = 0; done < frames; done += block) {
        session.next_block();
        if (run) {
            session.run();
        }
    }
    if (session.log_on()) {
        std::fprintf(stderr, "%s: the diagnostic log was on\n", argv[0]);
        return 3;
    }
    return 0;
}
