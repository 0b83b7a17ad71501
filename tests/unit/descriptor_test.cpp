#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "plugin/companion.h"
#include "plugin/fp_mode.h"
#include "support/plugin_harness.h"
#include "urid_map.h"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

TEST(Descriptor, IndicesZeroToTwoHaveThePlugins)
{
    const char* uris[] = {"http://ostrevan.org/plugins/ostrevan-tarvolene",
                          "http://ostrevan.org/plugins/ostrevan-tarvolene-mono",
                          "http://ostrevan.org/plugins/ostrevan-tarvolene-stereo"};
    for (uint32_t index = 0; index < 3; ++index) {
        const LV2_Descriptor* d = lv2_descriptor(index);
        ASSERT_NE(d, nullptr);
        EXPECT_STREQ(d->URI, uris[index]);
        EXPECT_EQ(lv2_descriptor(index), d);
    }
    for (uint32_t index : {3u, 16u, 1000u, std::numeric_limits<uint32_t>::max()}) {
        EXPECT_EQ(lv2_descriptor(index), nullptr) << index;
    }
}

TEST(Descriptor, OffersNoExtension)
{
    const LV2_Descriptor* d = lv2_descriptor(0);
    for (const char* uri :
         {"http://lv2plug.in/ns/ext/state#interface", "http://lv2plug.in/ns/ext/worker#interface",
          "http://lv2plug.in/ns/ext/options#interface",
          "http://lv2plug.in/ns/extensions/ui#idleInterface", ""}) {
        EXPECT_EQ(d->extension_data(uri), nullptr) << uri;
    }
}

TEST(Descriptor, ConnectPortStoresEachPointerInItsField)
{
    PluginHarness h(48000.0);
    PluginInstance& inst = h.instance();
    float slots[PORT_COUNT];
    for (uint32_t port = 0; port < PORT_COUNT; ++port) {
        h.descriptor->connect_port(h.handle, port, &slots[port]);
    }
    const void* expected[PORT_COUNT] = {inst.input[0],
                                        inst.input[1],
                                        inst.input[2],
                                        inst.input[3],
                                        inst.output[0],
                                        inst.output[1],
                                        inst.output[2],
                                        inst.output[3],
                                        inst.controls.control[CONTROL_NOTE_1].port,
                                        inst.controls.control[CONTROL_NOTE_2].port,
                                        inst.controls.control[CONTROL_NOTE_3].port,
                                        inst.controls.control[CONTROL_NOTE_4].port,
                                        inst.controls.control[CONTROL_TRANSPOSE].port,
                                        inst.controls.control[CONTROL_DECAY].port,
                                        inst.controls.control[CONTROL_LEVEL].port,
                                        inst.controls.control[CONTROL_DAMPING].port};
    for (uint32_t port = 0; port < PORT_COUNT; ++port) {
        EXPECT_EQ(expected[port], &slots[port]) << "port " << port;
    }
}

// A host may ask for any index: one past each plug-in's last port, and every
// index beyond, must change nothing in the instance, the companion's own
// fields included.
TEST(Descriptor, ConnectPortIgnoresIndicesPastTheLastPort)
{
    const uint32_t counts[] = {PORT_COUNT, MONO_PORT_COUNT, STEREO_PORT_COUNT};
    for (uint32_t index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        const LV2_Descriptor* d = lv2_descriptor(index);
        LV2_Handle handle = d->instantiate(d, 48000.0, "", host_features());
        ASSERT_NE(handle, nullptr);
        std::vector<float> slots(counts[index] * 64, 0.0f);
        for (uint32_t port = 0; port < counts[index]; ++port) {
            d->connect_port(handle, port, &slots[port * 64]);
        }
        const auto& instance = *static_cast<PluginInstance*>(handle);
        PluginInstance before;
        std::memcpy(&before, &instance, sizeof before);
        std::vector<unsigned char> companion_before(sizeof(Companion));
        if (instance.companion != nullptr) {
            std::memcpy(companion_before.data(), instance.companion, sizeof(Companion));
        }
        float junk[64] = {};
        for (uint32_t port : {counts[index], counts[index] + 1, 64u, 0xFFFFFFFFu}) {
            d->connect_port(handle, port, junk);
        }
        EXPECT_EQ(std::memcmp(&before, &instance, sizeof before), 0);
        if (instance.companion != nullptr) {
            EXPECT_EQ(std::memcmp(companion_before.data(), instance.companion, sizeof(Companion)), 0);
        }
        d->cleanup(handle);
    }
}

TEST(Descriptor, CleanupReleasesAnInstanceThatNeverRan)
{
    const LV2_Descriptor* d = lv2_descriptor(0);
    LV2_Handle handle = d->instantiate(d, 44100.0, "", nullptr);
    ASSERT_NE(handle, nullptr);
    d->cleanup(handle);  // the sanitizer build reports a leak or double free
}

TEST(Descriptor, DeactivateAndActivateKeepTheTubesRinging)
{
    PluginHarness plain(48000.0);
    PluginHarness paused(48000.0);
    for (PluginHarness* h : {&plain, &paused}) {
        for (auto& buffer : h->in) {
            buffer[0] = 1.0f;
        }
    }
    for (int block = 0; block < 8; ++block) {
        plain.run(4096);
        paused.run(4096);
        paused.descriptor->deactivate(paused.handle);
        paused.descriptor->activate(paused.handle);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            ASSERT_EQ(std::memcmp(plain.out[i].data(), paused.out[i].data(), 4096 * sizeof(float)),
                      0);
            plain.in[i][0] = paused.in[i][0] = 0.0f;
        }
    }
}

// The mode the library sets when it is loaded: flush-to-zero and
// denormals-are-zero, every exception masked, round to nearest.
TEST(FloatingPointMode, LoadingThreadRunsInFlushToZeroMode)
{
#if defined(__x86_64__)
    constexpr FpMode STICKY_FLAGS = 0x3F;
    EXPECT_EQ(flush_to_zero_mode(), 0x9FC0u);
    EXPECT_EQ(read_fp_mode() & ~STICKY_FLAGS, 0x9FC0u);
#elif defined(__aarch64__)
    EXPECT_EQ(flush_to_zero_mode(), 1u << 24);
    EXPECT_EQ(read_fp_mode(), 1u << 24);
#elif defined(__arm__)
    // FPSCR holds the comparison flags (bits 28-31) and the sticky
    // saturation and exception flags (bits 27, 0-4 and 7) besides the mode.
    constexpr FpMode FLAGS = 0xF800009Fu;
    EXPECT_EQ(flush_to_zero_mode(), 1u << 24);
    EXPECT_EQ(read_fp_mode() & ~FLAGS, 1u << 24);
#else
    ADD_FAILURE() << "no expected mode for this processor";
#endif
}

// A host's audio thread may well predate the library and have the
// processor's power-on mode; or it may already compute in the plug-in's mode,
// with or without status flags raised. Each gets its own mode back, flags
// and all, and the run computes in the plug-in's mode in each: the same
// output.
TEST(FloatingPointMode, RunGivesTheCallerItsOwnModeBack)
{
#if defined(__x86_64__)
    const FpMode power_on = 0x1F80;
    const FpMode raised = 0x21;  // inexact and invalid
#elif defined(__aarch64__)
    const FpMode power_on = 0;
    const FpMode raised = 0;
#elif defined(__arm__)
    const FpMode power_on = 0;
    const FpMode raised = (FpMode{1} << 29) | 0x10;  // carry and inexact
#endif
    const FpMode host_modes[] = {power_on, flush_to_zero_mode(), flush_to_zero_mode() | raised};
    std::vector<float> first_output;
    for (FpMode host_mode : host_modes) {
        SCOPED_TRACE(testing::Message() << std::hex << "host mode 0x" << host_mode);
        PluginHarness h(48000.0);
        h.run(64);  // from the loading thread
        for (int i = 0; i < TUBE_COUNT; ++i) {
            for (uint32_t f = 0; f < 64; ++f) h.in[i][f] = f % 7 == uint32_t(i) ? 3e-38f : 0.0f;
        }
        FpMode before = 0;
        bool kept = true;
        std::vector<float> output;
        std::thread host_audio_thread([&] {
            write_fp_mode(host_mode);
            before = read_fp_mode();
            // Long enough for the tiny input to come round the loops, where
            // only the plug-in's mode flushes what falls below the normals.
            for (int block = 0; block < 40; ++block) {
                h.run(64);
                kept = kept && read_fp_mode() == before;
                for (int i = 0; i < TUBE_COUNT; ++i) {
                    output.insert(output.end(), h.out[i].begin(), h.out[i].begin() + 64);
                }
            }
        });
        host_audio_thread.join();
        EXPECT_EQ(before, host_mode);
        EXPECT_TRUE(kept);
        if (first_output.empty()) {
            first_output = output;
        }
        EXPECT_EQ(std::memcmp(output.data(), first_output.data(), output.size() * sizeof(float)),
                  0);
    }
}

TEST(FloatingPointMode, InstantiateComputesInThePluginsOwnMode)
{
    // A host thread's mode with nearest, toward-zero, downward and upward
    // rounding.
#if defined(__x86_64__)
    const FpMode host_modes[] = {0x1F80, 0x7F80, 0x3F80, 0x5F80};
#elif defined(__aarch64__) || defined(__arm__)
    const FpMode host_modes[] = {0, FpMode{3} << 22, FpMode{2} << 22, FpMode{1} << 22};
#endif
    const LV2_Descriptor* d = lv2_descriptor(0);
    for (FpMode host_mode : host_modes) {
        LV2_Handle handle = nullptr;
        FpMode after = 0;
        std::thread host_thread([&] {
            write_fp_mode(host_mode);
            handle = d->instantiate(d, 48000.0, "", nullptr);
            after = read_fp_mode();
        });
        host_thread.join();
        const Tube tube = load_tube(*static_cast<PluginInstance*>(handle)->bank, 1);
        EXPECT_EQ(tube.damping_coef, 0.20787957f) << host_mode;
        EXPECT_EQ(tube.feedback, 0.33982086f) << host_mode;
        EXPECT_EQ(after, host_mode);
        d->cleanup(handle);
    }
}
