#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "engine/engine_path.h"
#include "engine/glide.h"
#include "engine/tube_by_tube.h"
#include "plugin/fp_mode.h"
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

// Four inputs over one run of noise (tube i's starting i samples in) and four
// output buffers as long, for the tests that run the engine's paths side by
// side.
struct NoiseBuffers {
    std::vector<float> noise;
    std::vector<float> out[TUBE_COUNT];
    const float* input[TUBE_COUNT];
    float* output[TUBE_COUNT];

    NoiseBuffers(size_t length, unsigned seed) : noise(length)
    {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> sample(-0.5f, 0.5f);
        for (float& s : noise) s = sample(rng);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            out[i].resize(length);
            input[i] = noise.data() + i;
            output[i] = out[i].data();
        }
    }
};

// Calls of one frame share what the lockstep engine found about reading first
// for a whole block, so a longer call between them must end what they share:
// here the one-frame calls around a long call run on into a glide's arrival,
// and every path must give the tube-by-tube engine's samples and records.
// Long calls of every length near the arrival put it at every frame of the
// one-frame calls that follow.
TEST(EngineRun, OneFrameCallsAroundALongCallAgreeWithTubeByTube)
{
    const FlushToZeroScope mode;
    const uint32_t lead_in = 1000;  // well into the glide
    NoiseBuffers buffers(16384, 11);
    const auto& input = buffers.input;
    const auto& output = buffers.output;
    const auto& out_buffers = buffers.out;
    // A new bank glides from its start length to the notes asked for.
    auto start_glide = [](TubeBank& bank) {
        for (int i = 0; i < TUBE_COUNT; ++i) {
            set_tube(bank, i, set_transpose, 0.0f);
            set_tube(bank, i, set_note, 72.0f + i);
        }
    };

    // Where the first tube arrives, counted from the end of the first
    // one-frame call.
    auto probe = std::make_unique<TubeBank>();
    start_glide(*probe);
    process_frames_on(EnginePath::TUBE_BY_TUBE, *probe, input, output, lead_in + 1);
    uint32_t arrival = 0;
    auto all_gliding = [](const TubeBank& bank) {
        return bank.gliding[0] && bank.gliding[1] && bank.gliding[2] && bank.gliding[3];
    };
    ASSERT_TRUE(all_gliding(*probe));
    while (all_gliding(*probe) && arrival < 16000) {
        process_frames_on(EnginePath::TUBE_BY_TUBE, *probe, input, output, 1);
        ++arrival;
    }
    ASSERT_LT(arrival, 16000u);
    ASSERT_GT(arrival, 40u);

    for (EnginePath path : ENGINE_PATHS) {
        if (path == EnginePath::TUBE_BY_TUBE || !engine_path_available(path)) continue;
        for (uint32_t long_call = arrival - 18; long_call <= arrival; ++long_call) {
            SCOPED_TRACE(testing::Message() << "path " << int(path) << " long call " << long_call);
            auto want = std::make_unique<TubeBank>();
            auto got = std::make_unique<TubeBank>();
            const uint32_t calls[] = {lead_in, 1, long_call, 1, 1, 1, 1, 1, 1, 1, 1,
                                      1,       1, 1,         1, 1, 1, 1, 1, 1, 1};
            start_glide(*want);
            start_glide(*got);
            for (size_t c = 0; c < sizeof calls / sizeof calls[0]; ++c) {
                const uint32_t frames = calls[c];
                process_frames_on(EnginePath::TUBE_BY_TUBE, *want, input, output, frames);
                const std::vector<float> wanted = out_buffers[0];
                process_frames_on(path, *got, input, output, frames);
                if (c == 1) {
                    // Far from arriving: a finding the long call must end.
                    ASSERT_GT(got->reads_first_frames, 0u);
                }
                ASSERT_EQ(std::memcmp(wanted.data(), out_buffers[0].data(), frames * sizeof(float)),
                          0);
                for (int i = 0; i < TUBE_COUNT; ++i) {
                    const Tube a = load_tube(*want, i);
                    const Tube b = load_tube(*got, i);
                    ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "tube " << i + 1;
                }
            }
        }
    }
}

// The lockstep engine reads a frame's four sub-steps before its writes, and
// where frames overlap, the next frame's reads before this frame's writes,
// wherever every lane's read slot lies far enough behind its write index.
// Here the tubes are put by hand at every distance around that margin, with
// lines full of noise and a NaN with a payload here and there, and each path
// must give the tube-by-tube engine's samples and records in calls of every
// size.
TEST(EngineRun, ReadsJustBehindTheWritesAgreeWithTubeByTube)
{
    const FlushToZeroScope mode;
    NoiseBuffers buffers(4096, 5);
    const auto& input = buffers.input;
    const auto& output = buffers.output;
    const auto& out_buffers = buffers.out;
    std::uniform_real_distribution<float> sample(-0.5f, 0.5f);
    // Every tube's read slot `distance` slots behind its write index, near
    // the end of the line so that the writes wrap within the calls.
    auto nan_with_payload = [](uint32_t payload) {
        const uint32_t bits = 0x7FC00000u | payload;
        float x;
        std::memcpy(&x, &bits, sizeof x);
        return x;
    };
    auto put = [&](TubeBank& bank, int distance) {
        std::mt19937 line_rng(distance);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            Tube tube = load_tube(bank, i);
            const uint64_t size = tube.line_size;
            for (uint64_t k = 0; k < size; ++k) {
                bank.delay[i][k] =
                    line_rng() % 997 == 0 ? nan_with_payload(0xBEEFu + i) : sample(line_rng);
            }
            for (uint64_t k = 0; k < DELAY_GUARD; ++k) bank.delay[i][size + k] = bank.delay[i][k];
            // At rest, with nothing waiting.
            tube.gliding = false;
            tube.read_speed = SPEED_REST;
            tube.pending_length = 0;
            tube.length = static_cast<uint64_t>(distance);
            tube.write_index = size - 40;
            tube.read_pos = static_cast<float>(size - 40 - distance) + 0.25f * i;
            store_tube(bank, i, tube);
        }
    };
    const uint32_t calls[] = {2, 5, 16, 17, 1, 64, 3, 256};
    for (EnginePath path : ENGINE_PATHS) {
        if (path == EnginePath::TUBE_BY_TUBE || !engine_path_available(path)) continue;
        for (int distance = 12; distance <= 40; ++distance) {
            SCOPED_TRACE(testing::Message() << "path " << int(path) << " distance " << distance);
            auto want = std::make_unique<TubeBank>();
            auto got = std::make_unique<TubeBank>();
            put(*want, distance);
            put(*got, distance);
            for (uint32_t frames : calls) {
                process_frames_on(EnginePath::TUBE_BY_TUBE, *want, input, output, frames);
                const std::vector<float> wanted[TUBE_COUNT] = {out_buffers[0], out_buffers[1],
                                                               out_buffers[2], out_buffers[3]};
                process_frames_on(path, *got, input, output, frames);
                if (frames == calls[0] && distance >= 24) {
                    // The margin itself: far enough behind to read first.
                    ASSERT_GT(got->reads_first_frames, 0u);
                }
                for (int i = 0; i < TUBE_COUNT; ++i) {
                    ASSERT_EQ(std::memcmp(wanted[i].data(), out_buffers[i].data(),
                                          frames * sizeof(float)),
                              0)
                        << "tube " << i + 1 << ", a call of " << frames;
                    const Tube a = load_tube(*want, i);
                    const Tube b = load_tube(*got, i);
                    ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "tube " << i + 1;
                }
            }
        }
    }
}
