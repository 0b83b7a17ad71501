// Cost of run() as a host sees it: one instance, four tubes, at 48 kHz.
//
//   build/bench/engine_bench                     wall-clock figures
//   valgrind --tool=callgrind build/bench/engine_bench --benchmark_filter=Steady/256
//                                                instruction counts

#include <benchmark/benchmark.h>
#include <lv2/core/lv2.h>

#include <random>
#include <vector>

#include "plugin/ports.h"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace {

struct Host {
    const LV2_Descriptor* d = lv2_descriptor(0);
    LV2_Handle handle;
    std::vector<float> in[4], out[4];
    float note[4] = {60, 64, 67, 72};
    float transpose = 0, decay = 1000, level = 0, damping = 12000;

    explicit Host(uint32_t frames) : handle(d->instantiate(d, 48000.0, "", nullptr))
    {
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
        for (uint32_t i = 0; i < 4; ++i) {
            in[i].resize(frames);
            out[i].resize(frames);
            for (float& s : in[i]) {
                s = noise(rng);
            }
            d->connect_port(handle, PORT_IN_1 + i, in[i].data());
            d->connect_port(handle, PORT_OUT_1 + i, out[i].data());
            d->connect_port(handle, PORT_NOTE_1 + i, &note[i]);
        }
        d->connect_port(handle, PORT_TRANSPOSE, &transpose);
        d->connect_port(handle, PORT_DECAY, &decay);
        d->connect_port(handle, PORT_LEVEL, &level);
        d->connect_port(handle, PORT_DAMPING, &damping);
        d->activate(handle);
    }
    ~Host() { d->cleanup(handle); }

    void run_frames(uint32_t total)
    {
        const auto block = static_cast<uint32_t>(in[0].size());
        for (uint32_t done = 0; done < total; done += block) {
            d->run(handle, block);
        }
    }
};

// Tubes resting at their notes, ringing.
void Steady(benchmark::State& state)
{
    const auto frames = static_cast<uint32_t>(state.range(0));
    Host host(frames);
    host.run_frames(14000);  // past every first glide
    for (auto _ : state) {
        host.d->run(host.handle, frames);
        benchmark::DoNotOptimize(host.out[0].data());
    }
    state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(Steady)->Arg(16)->Arg(256)->Arg(1024);

// A note change every block keeps every tube gliding and retuning.
void Retuning(benchmark::State& state)
{
    const auto frames = static_cast<uint32_t>(state.range(0));
    Host host(frames);
    host.run_frames(14000);
    int step = 0;
    for (auto _ : state) {
        host.transpose = static_cast<float>(step++ % 5);
        host.d->run(host.handle, frames);
        benchmark::DoNotOptimize(host.out[0].data());
    }
    state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(Retuning)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
