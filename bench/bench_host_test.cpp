#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "bench_session.h"
#include "plugin/instance.h"
#include "plugin_loader.h"

// The measuring programs are only as good as the host they play: the library
// must be loaded where its load-time mode cannot reach the thread that calls
// run, and the two motions must be what their names say.

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace {

std::vector<PluginUnderTest> load(std::vector<std::string> args)
{
    args.insert(args.begin(), "bench");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    int argc = static_cast<int>(argv.size());
    return load_plugins(argc, argv.data(), PLUGIN_LIBRARY);
}

#if defined(__x86_64__) || defined(__i386__)
TEST(BenchLoader, LoadsWhereTheLoadTimeModeMissesTheCallingThread)
{
    constexpr unsigned POWER_ON_MODE = 0x1F80;  // no flush-to-zero
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(POWER_ON_MODE);

    const std::vector<PluginUnderTest> plugins = load({});
    const unsigned after_loader = _mm_getcsr();

    // The same library under another path is a separate copy, whose load-time
    // code then runs on this thread: it does change the loading thread's mode.
    const std::filesystem::path copy =
        std::filesystem::path(testing::TempDir()) / "bench_loader_copy.so";
    std::filesystem::copy_file(PLUGIN_LIBRARY, copy,
                               std::filesystem::copy_options::overwrite_existing);
    void* library = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    const unsigned after_dlopen_here = _mm_getcsr();
    _mm_setcsr(saved);

    ASSERT_EQ(plugins.size(), 1u);
    EXPECT_NE(plugins[0].descriptor, nullptr);
    EXPECT_EQ(after_loader, POWER_ON_MODE);
    ASSERT_NE(library, nullptr) << dlerror();
    EXPECT_NE(after_dlopen_here, POWER_ON_MODE);
    dlclose(library);
    std::filesystem::remove(copy);
}
#endif

TEST(BenchLoader, RefusesOneLibraryUnderTwoNames)
{
    const std::string spec = std::string(PLUGIN_LIBRARY);
    EXPECT_EXIT(load({"--plugin", "a=" + spec, "--plugin=b=" + spec}), testing::ExitedWithCode(2),
                "a and b are the same library");
    EXPECT_EXIT(load({"--plugin", "nopath"}), testing::ExitedWithCode(2), "NAME=PATH");
}

struct Observed {
    // Per tube, the share of block ends at which it was gliding: every frame
    // at block 1, a coarser sample at larger blocks.
    double gliding_share[4];
    float loudest_after_burst;
    float loudest_before_next;
};

// Runs one session of the linked plug-in for two input periods after
// settling, watching the tubes' glide flags and the output's envelope.
Observed observe(Motion motion, uint32_t block)
{
    BenchSession session(lv2_descriptor(0), motion, block);
    session.settle();
    const TubeBank& bank = *static_cast<PluginInstance*>(session.handle())->bank;
    Observed seen{};
    uint64_t gliding[4] = {};
    const uint64_t frames = 2 * TRACK_FRAMES;
    for (uint64_t done = 0; done < frames; done += block) {
        session.next_block();
        session.run();
        const uint64_t start = session.frames() - block;
        for (int i = 0; i < 4; ++i) {
            gliding[i] += bank.gliding[i] ? 1 : 0;
            for (uint32_t s = 0; s < block; ++s) {
                const uint64_t position = (start + s) % TRACK_FRAMES;
                const float level = std::fabs(session.output(i)[s]);
                if (position >= BURST_FRAMES && position < 2 * BURST_FRAMES) {
                    seen.loudest_after_burst = std::max(seen.loudest_after_burst, level);
                }
                if (position >= TRACK_FRAMES - 1024) {
                    seen.loudest_before_next = std::max(seen.loudest_before_next, level);
                }
            }
        }
    }
    for (int i = 0; i < 4; ++i) {
        seen.gliding_share[i] =
            static_cast<double>(gliding[i]) / static_cast<double>(frames / block);
    }
    return seen;
}

TEST(BenchSession, MotionsAreWhatTheirNamesSay)
{
    for (const uint32_t block : {1u, 64u, 1024u}) {
        SCOPED_TRACE(block);
        const Observed steady = observe(Motion::steady, block);
        const Observed gliding = observe(Motion::gliding, block);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(steady.gliding_share[i], 0.0) << "tube " << i;
            EXPECT_GT(gliding.gliding_share[i], 0.85) << "tube " << i;
        }
        // Bursts ring, and each tail falls by more than 60 dB before the next.
        EXPECT_GT(steady.loudest_after_burst, 0.01f);
        EXPECT_LT(steady.loudest_before_next, steady.loudest_after_burst * 1e-3f);
    }
}

// The chords motion plays each chord on every plug-in: through the note
// controls of the four-channel plug-in, through MIDI keys for a companion.
TEST(BenchSession, ChordsReachTheTubesOfEveryPlugin)
{
    for (PluginKind kind : {PluginKind::FOUR, PluginKind::MONO, PluginKind::STEREO}) {
        SCOPED_TRACE(int(kind));
        BenchSession session(lv2_descriptor(static_cast<uint32_t>(kind)), Motion::chords, 256,
                             kind);
        session.settle();
        const TubeBank& bank = *static_cast<PluginInstance*>(session.handle())->bank;
        std::set<int> chords_heard;
        for (uint32_t done = 0; done < 5 * CHORD_EVERY_FRAMES; done += 256) {
            session.next_block();
            session.run();
            for (int c = 0; c < 4; ++c) {
                bool all = true;
                for (int i = 0; i < 4; ++i) all = all && bank.note[i] == BENCH_CHORDS[c][i];
                if (all) chords_heard.insert(c);
            }
        }
        EXPECT_EQ(chords_heard.size(), 4u);
    }
}

}  // namespace
