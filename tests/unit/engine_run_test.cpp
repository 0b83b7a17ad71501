#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/tube_by_tube.h"
#include "support/plugin_harness.h"

namespace {

const float SENTINEL = 12345.0f;

void fill_noise(PluginHarness& h, uint32_t frames, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    for (auto& buffer : h.in) {
        for (uint32_t s = 0; s < frames; ++s) {
            buffer[s] = noise(rng);
        }
    }
}

// The lag (in frames) at which the output best repeats itself.
int dominant_period(const std::vector<float>& x, int min_lag, int max_lag)
{
    int best = 0;
    double best_score = -1e300;
    for (int lag = min_lag; lag <= max_lag; ++lag) {
        double score = 0;
        for (size_t s = lag; s < x.size(); ++s) {
            score += double(x[s]) * x[s - lag];
        }
        if (score > best_score) {
            best_score = score;
            best = lag;
        }
    }
    return best;
}

}  // namespace

TEST(EngineRun, TouchesExactlyTheFramesAskedFor)
{
    for (uint32_t frames : {0u, 1u, 15u, 16u, 17u, 100u}) {
        PluginHarness h(48000.0, 128);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            std::fill(h.out[i].begin(), h.out[i].end(), SENTINEL);
            // Frames past the count would poison the tube if they were read.
            std::fill(h.in[i].begin() + frames, h.in[i].end(),
                      std::numeric_limits<float>::quiet_NaN());
        }
        h.run(frames);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            for (uint32_t s = 0; s < 128; ++s) {
                ASSERT_EQ(h.out[i][s] == SENTINEL, s >= frames) << frames << " " << s;
            }
            EXPECT_EQ(h.tube(i).write_index, 4u * frames);
            EXPECT_FALSE(std::isnan(h.tube(i).input_3));
        }
    }
}

TEST(EngineRun, SilenceStaysExactlySilent)
{
    PluginHarness h(48000.0);
    for (int block = 0; block < 10; ++block) {
        h.run(4096);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            for (float sample : h.out[i]) {
                ASSERT_EQ(sample, 0.0f);
            }
        }
    }
}

// The output is what the delay line gives back, never the input directly. A
// new tube's read position runs ahead of its writes until it comes round to
// slot 0 after about 6000 / 1.11 sub-steps, so the first 1340 frames are
// silent whatever the input, and the tube is heard soon after.
TEST(EngineRun, NewTubeIsSilentUntilItsReadComesRound)
{
    PluginHarness h(48000.0, 1400);
    fill_noise(h, 1400, 7);
    h.run(1400);
    for (int i = 0; i < TUBE_COUNT; ++i) {
        for (uint32_t s = 0; s < 1340; ++s) {
            ASSERT_EQ(h.out[i][s], 0.0f) << "tube " << i + 1 << " frame " << s;
        }
        float loudest = 0.0f;
        for (uint32_t s = 1340; s < 1400; ++s) {
            loudest = std::max(loudest, std::fabs(h.out[i][s]));
        }
        EXPECT_GT(loudest, 0.0f) << "tube " << i + 1;
    }
}

TEST(EngineRun, TubesRingAtTheirNotesPitch)
{
    PluginHarness h(48000.0, 4096);
    h.run(4096 * 3);  // past the first glide of every tube
    h.in[0][0] = h.in[1][0] = h.in[2][0] = h.in[3][0] = 1.0f;
    h.run(4096);
    // Periods in frames: 48000 / (440 * 2^((n - 69) / 12)). The read point
    // sits 4.5 to 6 sub-steps inside the nominal length, so a tube may ring up
    // to 1.5 frames short of it.
    const double periods[TUBE_COUNT] = {183.47, 145.62, 122.45, 91.73};
    for (int i = 0; i < TUBE_COUNT; ++i) {
        std::vector<float> tail(h.out[i].begin() + 1000, h.out[i].end());
        const int period = dominant_period(tail, 60, 300);
        EXPECT_GE(period, periods[i] - 2.5) << "tube " << i + 1;
        EXPECT_LE(period, periods[i] + 1.0) << "tube " << i + 1;
    }
}

TEST(EngineRun, OutputStaysBelowTheLevelGain)
{
    PluginHarness h(48000.0, 4096);
    h.control.decay = 10000.0f;
    h.control.level = -6.0f;
    for (int block = 0; block < 6; ++block) {
        fill_noise(h, 4096, block);
        for (auto& buffer : h.in) {
            for (float& s : buffer) {
                s *= 50.0f;
            }
        }
        h.run(4096);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            for (float sample : h.out[i]) {
                ASSERT_LT(std::fabs(sample), 0.50118721f);
            }
        }
    }
}

// A host may process in place with any pairing of inputs and outputs.
TEST(EngineRun, AliasedBuffersGiveTheSameOutputAsSeparateOnes)
{
    const uint32_t frames = 3000;
    PluginHarness separate(48000.0, frames);
    fill_noise(separate, frames, 3);
    const auto inputs = separate.in;

    for (int shift : {0, 1, 3}) {
        SCOPED_TRACE(shift);
        PluginHarness shared(48000.0, frames);
        PluginHarness fresh(48000.0, frames);
        fresh.in = inputs;
        // Output i goes to the buffer that holds input (i + shift) % 4.
        for (int i = 0; i < TUBE_COUNT; ++i) {
            shared.in[i] = inputs[i];
        }
        for (int i = 0; i < TUBE_COUNT; ++i) {
            shared.descriptor->connect_port(shared.handle, PORT_OUT_1 + i,
                                            shared.in[(i + shift) % TUBE_COUNT].data());
        }
        for (int round = 0; round < 6; ++round) {
            fresh.in = inputs;
            for (int i = 0; i < TUBE_COUNT; ++i) {
                shared.in[i] = inputs[i];
            }
            // The vectors kept their storage, so the connections still hold.
            fresh.run(frames);
            shared.run(frames);
            for (int i = 0; i < TUBE_COUNT; ++i) {
                ASSERT_EQ(
                    std::memcmp(fresh.out[i].data(), shared.in[(i + shift) % TUBE_COUNT].data(),
                                frames * sizeof(float)),
                    0)
                    << "tube " << i + 1 << " round " << round;
            }
        }
    }
}

// The blocks a run walks through, as both engines' loops step from one block
// start to the next: for any frame count, they must cover every frame once,
// in blocks of BLOCK_FRAMES but for the last, and end at the count, also where
// the last block start plus BLOCK_FRAMES no longer fits in a uint32_t.
TEST(EngineRun, BlocksCoverEveryFrameCountUpToTheTopOfUint32)
{
    const uint32_t top = std::numeric_limits<uint32_t>::max();
    std::vector<uint32_t> counts;
    for (uint32_t n = 0; n <= 3 * BLOCK_FRAMES + 1; ++n) {
        counts.push_back(n);
        counts.push_back(top - n);
    }
    counts.push_back(uint32_t{1} << 31);
    for (const uint32_t count : counts) {
        SCOPED_TRACE(count);
        // Starts are multiples of BLOCK_FRAMES until the last block, so the
        // walk may begin at any multiple a few blocks before the end.
        const uint32_t last_full = count / BLOCK_FRAMES * BLOCK_FRAMES;
        const uint32_t first = last_full >= 3 * BLOCK_FRAMES ? last_full - 3 * BLOCK_FRAMES : 0;
        uint64_t covered = first;
        int blocks = 0;
        for (uint32_t start = first; start < count; start = next_block_start(start, count)) {
            ASSERT_EQ(start, covered) << "a block skipped or repeated frames";
            const uint64_t next = next_block_start(start, count);
            ASSERT_GT(next, start) << "the walk went back: it would never end";
            ASSERT_LE(next - start, BLOCK_FRAMES);
            if (next < count) {
                ASSERT_EQ(next - start, BLOCK_FRAMES) << "a short block before the last";
            }
            covered = next;
            ASSERT_LE(++blocks, 5);
        }
        EXPECT_EQ(covered, std::max<uint64_t>(count, first));
    }
}
