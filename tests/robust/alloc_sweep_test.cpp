#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "diag/debug_log.h"
#include "loaded_plugin.h"
#include "rt_probe.h"

// Memory running out at instantiate: every allocation that instantiate makes,
// directly or inside the C library, is made to fail in turn. Whatever fails,
// the host gets either no instance or a complete one, and nothing leaks.

namespace {

constexpr uint32_t FRAMES = 4096;

// Four rounds of noise bursts through an instance, every tube's output
// appended; connects the instance to buffers of its own.
std::vector<float> play(LV2_Handle handle)
{
    const LV2_Descriptor* d = descriptor();
    std::vector<float> in[TUBE_COUNT];
    std::vector<float> out[TUBE_COUNT];
    float controls[PORT_COUNT - PORT_NOTE_1];
    for (int i = 0; i < TUBE_COUNT; ++i) {
        in[i].resize(FRAMES);
        out[i].resize(FRAMES);
        fill_noise_bursts(in[i].data(), FRAMES, 2048, 256, static_cast<uint32_t>(i));
        d->connect_port(handle, PORT_IN_1 + i, in[i].data());
        d->connect_port(handle, PORT_OUT_1 + i, out[i].data());
    }
    for (uint32_t port = PORT_NOTE_1; port < PORT_COUNT; ++port) {
        controls[port - PORT_NOTE_1] = default_control(port);
        d->connect_port(handle, port, &controls[port - PORT_NOTE_1]);
    }
    d->activate(handle);
    std::vector<float> sound;
    for (int round = 0; round < 4; ++round) {
        d->run(handle, FRAMES);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            sound.insert(sound.end(), out[i].begin(), out[i].end());
        }
    }
    d->deactivate(handle);
    return sound;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

struct SweepResult {
    int allocations_failed = 0;
    int instances_refused = 0;
};

// Fails allocation 1, 2, 3, ... of instantiate in turn until an instantiate
// runs through without reaching the failing allocation.
SweepResult sweep(double sample_rate)
{
    const LV2_Descriptor* d = descriptor();
    LV2_Handle healthy = d->instantiate(d, sample_rate, "", nullptr);
    const std::vector<float> expected = play(healthy);
    d->cleanup(healthy);

    SweepResult result;
    for (unsigned long nth = 1; nth < 1000; ++nth) {
        rt_probe_fail_allocation(nth);
        rt_probe_begin();
        LV2_Handle handle = d->instantiate(d, sample_rate, "", nullptr);
        const bool failed = rt_probe_fail_allocation(0);
        const RtProbeCounts made = rt_probe_end();
        if (!failed) {
            EXPECT_NE(handle, nullptr);
            d->cleanup(handle);
            break;
        }
        ++result.allocations_failed;
        unsigned long obtained = made.blocks_obtained;
        unsigned long released = made.blocks_released;
        if (handle == nullptr) {
            ++result.instances_refused;
        } else {
            // Something failed on the way, yet an instance was given: it must
            // be the whole instance, sounding exactly as usual.
            EXPECT_TRUE(same_bits(play(handle), expected))
                << "instance differs after failing allocation " << nth;
            rt_probe_begin();
            d->cleanup(handle);
            const RtProbeCounts freed = rt_probe_end();
            obtained += freed.blocks_obtained;
            released += freed.blocks_released;
        }
        EXPECT_EQ(obtained, released) << "leak after failing allocation " << nth;
    }
    return result;
}

TEST(MemoryExhaustion, LogOffEveryFailureGivesNoInstanceOrAWholeOne)
{
    ASSERT_TRUE(rt_probe_active());
    ASSERT_FALSE(log_file_exists()) << LOG_PATH << " exists: this test needs the log off";
    const SweepResult result = sweep(48000.0);
    // The record and the bank: without either there is no instance. Any
    // other allocation belongs to the C library looking for the log switch.
    EXPECT_EQ(result.instances_refused, 2);
    EXPECT_GE(result.allocations_failed, 2);
}

TEST(MemoryExhaustion, LogOnAllocatesNothingMoreThanTheInstance)
{
    ASSERT_TRUE(rt_probe_active());
    std::ofstream(LOG_PATH, std::ios::trunc).flush();
    const SweepResult result = sweep(44100.0);
    std::remove(LOG_PATH);
    // Reading the level and writing the twelve lines use the stack and the
    // file alone: the record and the bank are the only allocations, as with
    // the log off, and failing either gives no instance.
    EXPECT_EQ(result.instances_refused, 2);
    EXPECT_EQ(result.allocations_failed, 2);
}

}  // namespace
