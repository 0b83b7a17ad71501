#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/engine_path.h"
#include "loaded_plugin.h"
#include "plugin/fp_mode.h"
#include "support/plugin_harness.h"

// The load-time flush-to-zero mode reaches only the thread that loads the
// library; hosts call run from their own audio thread. run therefore holds
// the calling thread in that mode for the call and gives the caller's mode
// back. A short decay after noise bursts is where subnormals would appear: the
// tail falls through the subnormal range on its way to zero.

namespace {

constexpr uint32_t BLOCK = 480;
constexpr int BLOCKS = 200;  // two seconds at 48 kHz

void set_up_decaying_bursts(PluginHarness& host)
{
    host.control.decay = 5.0f;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        fill_noise_bursts(host.in[i].data(), BLOCK, BLOCK, 0, 0);  // silence
    }
}

// Noise for one block in every twenty-five, silence between: each burst
// rings out into a long decaying tail.
void feed_block(PluginHarness& host, int block)
{
    const uint32_t burst = block % 25 == 0 ? BLOCK : 0;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        fill_noise_bursts(host.in[i].data(), BLOCK, BLOCK, burst, static_cast<uint32_t>(block + i));
    }
}

struct Played {
    std::vector<float> sound;
    long subnormals = 0;
    bool mode_kept = true;  // every run gave the caller's mode back exactly
    FpMode mode_after_runs = 0;
};

long count_subnormals(const float* data, size_t count)
{
    long found = 0;
    for (size_t i = 0; i < count; ++i) {
        found += std::fpclassify(data[i]) == FP_SUBNORMAL;
    }
    return found;
}

// The instance is created in the thread's mode as it is; `run_mode` is the
// mode the host's audio thread then calls run in.
Played play_through_run(FpMode run_mode)
{
    Played played;
    PluginHarness host(48000.0, BLOCK);
    set_up_decaying_bursts(host);
    write_fp_mode(run_mode);
    for (int block = 0; block < BLOCKS; ++block) {
        feed_block(host, block);
        const FpMode before = read_fp_mode();
        host.run(BLOCK);
        played.mode_kept = played.mode_kept && read_fp_mode() == before;
        for (int i = 0; i < TUBE_COUNT; ++i) {
            played.subnormals += count_subnormals(host.out[i].data(), BLOCK);
            played.sound.insert(played.sound.end(), host.out[i].begin(), host.out[i].end());
        }
    }
    played.mode_after_runs = read_fp_mode();
    // The decaying states themselves end at exact zero too, never below it.
    for (int i = 0; i < TUBE_COUNT; ++i) {
        const Tube tube = host.tube(i);
        played.subnormals += count_subnormals(host.bank().delay[i], DELAY_SLOTS);
        const float states[] = {tube.damping_state, tube.highpass_state, tube.integ};
        played.subnormals += count_subnormals(states, 3);
    }
    return played;
}

template <typename Work>
void on_fresh_thread(FpMode mode, Work work)
{
    std::thread thread([&] {
        write_fp_mode(mode);
        work();
    });
    thread.join();
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

#if defined(__x86_64__) || defined(__i386__)
// MXCSR values a host's audio thread may have: the power-on default, and
// variants with other rounding, sticky flags and flush-to-zero already on.
constexpr FpMode DEFAULT_MODE = 0x1F80;
const FpMode CALLER_MODES[] = {
    DEFAULT_MODE,
    DEFAULT_MODE | 0x6000,  // round toward zero
    DEFAULT_MODE | 0x2000,  // round down
    DEFAULT_MODE | 0x003F,  // every exception flag already raised
    DEFAULT_MODE | 0x8040,  // flush-to-zero and denormals-are-zero
    DEFAULT_MODE | 0x0040,  // denormals-are-zero only
};
#endif

TEST(Denormals, LoadingThreadKeepsTheLoadTimeMode)
{
    EXPECT_EQ(read_fp_mode(), flush_to_zero_mode());
}

#if defined(__x86_64__) || defined(__i386__)

// Without the mode, the same tail does fall through the subnormal range, so
// the scenario can tell a thread in flush-to-zero mode from one that is not.
TEST(Denormals, ScenarioMakesSubnormalsWithoutTheMode)
{
    long subnormals = 0;
    on_fresh_thread(DEFAULT_MODE, [&] {
        PluginHarness host(48000.0, BLOCK);
        set_up_decaying_bursts(host);
        PluginInstance& instance = host.instance();
        for (int block = 0; block < BLOCKS; ++block) {
            feed_block(host, block);
            // The engine's own steps, without run and its mode scope.
            apply_controls(*instance.bank, instance.controls);
            process_frames(*instance.bank, instance.input, instance.output, BLOCK);
            for (int i = 0; i < TUBE_COUNT; ++i) {
                subnormals += count_subnormals(host.out[i].data(), BLOCK);
            }
        }
    });
    EXPECT_GT(subnormals, 1000);
}

class CallerMode : public testing::TestWithParam<FpMode> {};

// The thread is created in the default mode, as a host's would be, and
// instantiates there; it calls run in the mode under test.
TEST_P(CallerMode, RunOnAFreshThreadFlushesAndRestoresTheCallersMode)
{
    const Played on_loading_thread = play_through_run(read_fp_mode());
    ASSERT_EQ(on_loading_thread.subnormals, 0);

    Played on_host_thread;
    on_fresh_thread(DEFAULT_MODE, [&] { on_host_thread = play_through_run(GetParam()); });

    EXPECT_TRUE(on_host_thread.mode_kept) << "a run left the caller's mode changed";
    EXPECT_EQ(on_host_thread.mode_after_runs, GetParam());
    EXPECT_EQ(on_host_thread.subnormals, 0);
    EXPECT_TRUE(same_bits(on_host_thread.sound, on_loading_thread.sound))
        << "output differs from the loading thread's";
}

INSTANTIATE_TEST_SUITE_P(HostThreads, CallerMode, testing::ValuesIn(CALLER_MODES),
                         [](const testing::TestParamInfo<FpMode>& info) {
                             char name[16];
                             std::snprintf(name, sizeof name, "Mxcsr%04llX",
                                           static_cast<unsigned long long>(info.param));
                             return std::string(name);
                         });

#endif

}  // namespace
