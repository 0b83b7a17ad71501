// What run costs a host, per frame: the built plug-in loaded with dlopen on
// another thread, run on this one through lv2_descriptor, every port
// connected, noise bursts in. Several libraries given on the command line
// run in the same process, their cases registered side by side, so that a
// busy moment on a shared machine falls on all of them alike.
//
//   plugin_bench [--plugin NAME=PATH ...] [Google Benchmark flags]
//
// Each case is MOTION/BLOCK/NAME, e.g. steady/256/scalar. time_per_frame is
// CPU time per frame; it includes the host's copy of each block's input and,
// for a companion, the delivery of its worker's answers, but not the work
// (the worker thread's).
// log_on is 1 for a run whose instance found the diagnostic log switched on.
// --host-in-mode runs the calls on a thread that computes in the plug-in's
// flush-to-zero mode already, as many hosts' audio threads do; without it
// the thread has the processor's power-on mode, as others' have.
// tools/bench-compare runs it with repetitions, randomly interleaved.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench_session.h"
#include "plugin/fp_mode.h"
#include "plugin_loader.h"

namespace {

void run_case(benchmark::State& state, const PluginUnderTest* plugin, Motion motion,
              uint32_t block)
{
    wait_for_log_off();
    BenchSession session(plugin->descriptor, motion, block, plugin->kind);
    session.settle();
    for (auto _ : state) {
        session.next_block();
        session.run();
        benchmark::ClobberMemory();
        // A host's worker thread, not its audio thread, does this work.
        if (session.has_work()) {
            state.PauseTiming();
            session.work();
            state.ResumeTiming();
        }
    }
    const double frames = static_cast<double>(state.iterations()) * block;
    state.SetItemsProcessed(static_cast<int64_t>(frames));
    // Seconds per frame: a rate of frames, inverted.
    state.counters["time_per_frame"] =
        benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    // 1 when this run's instance wrote to the diagnostic log: its time is not
    // the plug-in's alone. Averaged over repetitions, the share of such runs.
    state.counters["log_on"] = session.log_on() ? 1 : 0;
}

// Takes --host-in-mode out of the arguments: whether it was there.
bool take_host_in_mode(int& argc, char** argv)
{
    bool found = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--host-in-mode") == 0) {
            found = true;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return found;
}

}  // namespace

int main(int argc, char** argv)
{
    // The libraries load on threads of their own and leave this one's mode
    // as it is: only this flag puts it in the plug-in's.
    if (take_host_in_mode(argc, argv)) {
        write_fp_mode(flush_to_zero_mode());
    }
    const std::vector<PluginUnderTest> plugins = load_plugins(argc, argv, PLUGIN_LIBRARY);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    for (const PluginUnderTest& plugin : plugins) {
        benchmark::AddCustomContext("plugin " + plugin.name, plugin.path);
    }
    for (const Motion motion : BENCH_MOTIONS) {
        for (const uint32_t block : BENCH_BLOCKS) {
            for (const PluginUnderTest& plugin : plugins) {
                const std::string name = std::string(motion_name(motion)) + "/" +
                                         std::to_string(block) + "/" + plugin.name;
                benchmark::RegisterBenchmark(name.c_str(), run_case, &plugin, motion,
                                             block);
            }
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
