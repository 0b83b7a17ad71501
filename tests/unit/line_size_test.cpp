#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "engine/engine_path.h"
#include "engine/tube_bank.h"

namespace {

constexpr int N = 4096;

// Runs every tube on `input` (or silence) and gives tube 1's output.
std::vector<float> run(TubeBank& bank, uint32_t frames, float input = 0.0f)
{
    std::vector<float> in(frames, input), out(4 * size_t(frames));
    const float* ins[TUBE_COUNT] = {in.data(), in.data(), in.data(), in.data()};
    float* outs[TUBE_COUNT] = {&out[0], &out[frames], &out[2 * size_t(frames)],
                               &out[3 * size_t(frames)]};
    process_frames(bank, ins, outs, frames);
    out.resize(frames);
    return out;
}

void set_line_size(Tube& tube, float size)
{
    tube.line_size = static_cast<uint64_t>(size);
}

// The slot `distance` sub-steps behind tube i's write index.
float behind(const TubeBank& bank, int i, uint64_t distance)
{
    const uint64_t size = bank.line_size[i];
    return bank.delay[i][(bank.write_index[i] + size - distance) % size];
}

// Every slot both sizes hold is as far behind the write index in `after` as
// in `before`.
void expect_slots_kept(const TubeBank& after, const TubeBank& before, int i)
{
    for (uint64_t d = 1; d <= DELAY_SIZE; ++d) {
        ASSERT_EQ(behind(after, i, d), behind(before, i, d)) << "tube " << i + 1 << ", " << d;
    }
}

}  // namespace

// A line re-laid to another size keeps what it holds, so a ringing tube
// rings on: every slot stays as far behind the write index, the read
// position too, and the output goes on as the same tube's would have.
TEST(LineSize, ARelaidLineRingsOnAsBefore)
{
    auto bank = std::make_unique<TubeBank>();
    for (int i = 0; i < TUBE_COUNT; ++i) {
        set_tube(*bank, i, set_sample_rate, 96000.0f);
        set_tube(*bank, i, set_transpose, 0.0f);
        set_tube(*bank, i, set_decay, 2000.0f);
        set_tube(*bank, i, set_note, 40.0f + 7.0f * static_cast<float>(i));
    }
    run(*bank, 20000);     // the start-up glide
    run(*bank, 64, 0.5f);  // a burst
    run(*bank, 3001);      // ringing, the write index anywhere
    auto kept = std::make_unique<TubeBank>(*bank);

    for (const float size : {static_cast<float>(LONG_DELAY_SIZE), static_cast<float>(DELAY_SIZE)}) {
        const TubeBank before = *bank;
        for (int i = 0; i < TUBE_COUNT; ++i) {
            set_tube(*bank, i, set_line_size, size);
        }
        for (int i = 0; i < TUBE_COUNT; ++i) {
            SCOPED_TRACE(testing::Message() << "size " << size);
            ASSERT_EQ(bank->line_size[i], static_cast<uint64_t>(size));
            expect_slots_kept(*bank, before, i);
            for (uint64_t g = 0; g < DELAY_GUARD; ++g) {
                EXPECT_EQ(bank->delay[i][bank->line_size[i] + g], bank->delay[i][g]);
            }
        }
        // The tube goes on as the one that kept its line: the read
        // position's last bits round by another size (a thousandth of a
        // sub-step), nothing more; a slot or a read position out of place
        // would be heard.
        const std::vector<float> relaid = run(*bank, N);
        const std::vector<float> same = run(*kept, N);
        float peak = 0.0f, apart = 0.0f;
        for (int s = 0; s < N; ++s) {
            peak = std::fmax(peak, std::fabs(same[size_t(s)]));
            apart = std::fmax(apart, std::fabs(relaid[size_t(s)] - same[size_t(s)]));
        }
        ASSERT_GT(peak, 1e-3f);
        EXPECT_LT(apart, 2e-3f * peak) << size;
    }
}

// A line that shrinks below the tube's reach keeps the newest slots, and
// the read position, the length and any glide come within the new line.
TEST(LineSize, AShrunkLineHoldsTheReadWithinIt)
{
    auto bank = std::make_unique<TubeBank>();
    for (int i = 0; i < TUBE_COUNT; ++i) {
        set_tube(*bank, i, set_sample_rate, 96000.0f);
        set_tube(*bank, i, set_transpose, 0.0f);
        set_tube(*bank, i, set_tuning, TUNING_IN_TUNE);
        set_tube(*bank, i, set_note, 24.0f);
    }
    run(*bank, 30000, 0.01f);
    ASSERT_GT(bank->length[0], DELAY_SIZE);
    set_tube(*bank, 0, set_note, 60.0f);  // a glide under way to a short length
    set_tube(*bank, 1, set_note, 30.0f);  // a long one waiting
    run(*bank, 16);
    const TubeBank before = *bank;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        set_tube(*bank, i, set_tuning, TUNING_WHOLE_STEPS);
    }
    for (int i = 0; i < TUBE_COUNT; ++i) {
        EXPECT_TRUE(bank->read_pos[i] >= 0.0f && bank->read_pos[i] < float(DELAY_SIZE)) << i;
        EXPECT_LE(bank->glide_target[i], MAX_LENGTH) << i;
        expect_slots_kept(*bank, before, i);
    }
    // Every tube arrives where whole steps put its note, and rings there.
    run(*bank, 96000);
    for (int i = 0; i < TUBE_COUNT; ++i) {
        EXPECT_FALSE(bank->gliding[i]) << i;
        EXPECT_EQ(bank->length[i], requested_length(bank->note[i], 0.0f, 96000.0f)) << i;
    }
}
