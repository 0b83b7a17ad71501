// Cost of the fused multiply-add on four lanes in this build: the instruction
// where the build targets it, the exact emulation otherwise (the baseline
// x86-64 build has no FMA).
//
//   build/bench/lane_fma_bench                      wall-clock figures
//   valgrind --tool=callgrind --toggle-collect='*SingleThroughput*'
//       build/bench/lane_fma_bench --benchmark_filter=SingleThroughput
//                                                   instructions: divide by
//                                                   4000 iterations x BATCH calls
//
// "Throughput" runs independent calls, as the four tubes' filters do within one
// sub-step; "Chain" feeds each result into the next call, as the loop filter's
// state does from one sub-step to the next.

// Four double lanes are wider than a baseline x86-64 register; every function
// taking them is inlined, so the ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "engine/fused_lanes.h"
#include "engine/fused_scalar.h"
#include "plugin/fp_mode.h"

namespace {

constexpr int BATCH = 256;

// Audio-like operands: samples within +-1, coefficients just below 1; the
// double ones as in the DC blocker, a constant gain times a sample plus a
// product.
constexpr double GAIN = 0.9984353796442359;
constexpr F64x4 GAINS = {GAIN, GAIN, GAIN, GAIN};

struct Operands {
    std::vector<F32x4> a, b, c;
    std::vector<F64x4> wb, wc;
    Operands() : a(BATCH), b(BATCH), c(BATCH), wb(BATCH), wc(BATCH)
    {
        std::mt19937 rng(3);
        std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
        for (int i = 0; i < BATCH; ++i) {
            for (int k = 0; k < 4; ++k) {
                a[i][k] = 0.99f + 0.01f * sample(rng);
                b[i][k] = sample(rng);
                c[i][k] = sample(rng);
                wb[i][k] = sample(rng);
                wc[i][k] = 0.9968707592884718 * sample(rng);
            }
        }
    }
};

void SingleThroughput(benchmark::State& state)
{
    FlushToZeroScope mode;
    Operands op;
    std::vector<F32x4> out(BATCH);
    for (auto _ : state) {
        for (int i = 0; i < BATCH; ++i) {
            out[i] = fused(op.a[i], op.b[i], op.c[i]);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
}

void DoubleThroughput(benchmark::State& state)
{
    FlushToZeroScope mode;
    Operands op;
    std::vector<F64x4> out(BATCH);
    for (auto _ : state) {
        for (int i = 0; i < BATCH; ++i) {
            out[i] = fused(GAINS, op.wb[i], op.wc[i]);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
}

void SingleChain(benchmark::State& state)
{
    FlushToZeroScope mode;
    Operands op;
    F32x4 x = op.c[0];
    for (auto _ : state) {
        for (int i = 0; i < BATCH; ++i) {
            x = fused(op.a[i], x, op.b[i]);
        }
        benchmark::DoNotOptimize(x);
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
}

void DoubleChain(benchmark::State& state)
{
    FlushToZeroScope mode;
    Operands op;
    F64x4 x = op.wc[0];
    for (auto _ : state) {
        for (int i = 0; i < BATCH; ++i) {
            x = fused(GAINS, op.wb[i], x * 0.9968707592884718);
        }
        benchmark::DoNotOptimize(x);
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
}

}  // namespace

BENCHMARK(SingleThroughput)->Iterations(4000);
BENCHMARK(DoubleThroughput)->Iterations(4000);
BENCHMARK(SingleChain)->Iterations(4000);
BENCHMARK(DoubleChain)->Iterations(4000);

BENCHMARK_MAIN();
