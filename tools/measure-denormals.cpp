// Measures what subnormal numbers cost on a host's audio thread: a short
// decay (5 ms) after noise bursts, 10 s at 48 kHz in blocks of 10 ms, played
// once on the thread that loaded the library (flush-to-zero from the load)
// and once on a fresh thread in the processor's default mode, as a host's
// audio thread would be. A new thread inherits its creator's mode, so the
// fresh thread puts the default back first: a host's audio thread usually
// exists before the library is loaded, or is started by another library.
// Counts the subnormal output samples and takes the best of several timed
// passes of each.
//
// usage: measure-denormals <plug-in .so> [passes]
// Built and run by tools/measure-denormals.

#include <dlfcn.h>
#include <lv2/core/lv2.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace {

constexpr double RATE = 48000.0;
constexpr uint32_t BLOCK = 480;  // 10 ms
constexpr uint32_t SECONDS = 10;
constexpr uint32_t BURST_EVERY = 25;  // blocks: a 10 ms burst every 250 ms
constexpr int TUBES = 4;

struct Result {
    long subnormals;
    double seconds;
};

Result play(const LV2_Descriptor* d)
{
    std::vector<float> in[TUBES];
    std::vector<float> out[TUBES];
    float controls[8] = {60.0f, 64.0f, 67.0f, 72.0f, 0.0f, 5.0f, 0.0f, 12000.0f};
    LV2_Handle h = d->instantiate(d, RATE, "", nullptr);
    for (int i = 0; i < TUBES; ++i) {
        in[i].assign(BLOCK, 0.0f);
        out[i].assign(BLOCK, 0.0f);
        d->connect_port(h, static_cast<uint32_t>(i), in[i].data());
        d->connect_port(h, static_cast<uint32_t>(4 + i), out[i].data());
    }
    for (uint32_t port = 8; port < 16; ++port) {
        d->connect_port(h, port, &controls[port - 8]);
    }
    d->activate(h);

    uint32_t noise = 12345;
    long subnormals = 0;
    double busy = 0.0;
    const uint32_t blocks = SECONDS * static_cast<uint32_t>(RATE) / BLOCK;
    for (uint32_t block = 0; block < blocks; ++block) {
        const bool burst = block % BURST_EVERY == 0;
        for (int i = 0; i < TUBES; ++i) {
            for (float& sample : in[i]) {
                noise = noise * 1664525u + 1013904223u;
                sample = burst ? static_cast<float>(noise >> 8) / 8388608.0f - 1.0f : 0.0f;
            }
        }
        const auto start = std::chrono::steady_clock::now();
        d->run(h, BLOCK);
        busy += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (int i = 0; i < TUBES; ++i) {
            for (float sample : out[i]) {
                subnormals += std::fpclassify(sample) == FP_SUBNORMAL;
            }
        }
    }
    d->deactivate(h);
    d->cleanup(h);
    return {subnormals, busy};
}

Result best_of(const LV2_Descriptor* d, int passes, bool fresh_thread)
{
    Result best{0, 1e30};
    for (int pass = 0; pass < passes; ++pass) {
        Result result{};
        if (fresh_thread) {
            std::thread thread([&] {
#if defined(__x86_64__) || defined(__i386__)
                _mm_setcsr(0x1F80);  // the power-on default: no flush-to-zero
#endif
                result = play(d);
            });
            thread.join();
        } else {
            result = play(d);
        }
        best.subnormals = result.subnormals;
        best.seconds = std::min(best.seconds, result.seconds);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <plug-in .so> [passes]\n", argv[0]);
        return 2;
    }
    const int passes = argc > 2 ? std::atoi(argv[2]) : 7;
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    using Entry = const LV2_Descriptor* (*)(uint32_t);
    const LV2_Descriptor* d = reinterpret_cast<Entry>(dlsym(library, "lv2_descriptor"))(0);

    const Result loading = best_of(d, passes, false);
    const Result fresh = best_of(d, passes, true);
    std::printf("%s\n", argv[1]);
    std::printf("  loading thread: %8ld subnormal samples, run %.1f ms (best of %d)\n",
                loading.subnormals, loading.seconds * 1e3, passes);
    std::printf("  fresh thread:   %8ld subnormal samples, run %.1f ms (best of %d)\n",
                fresh.subnormals, fresh.seconds * 1e3, passes);
    std::printf("  fresh / loading: %.2fx\n", fresh.seconds / loading.seconds);
    dlclose(library);
    return 0;
}
