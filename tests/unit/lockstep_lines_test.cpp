// The lockstep engine's own reads and writes of the bank's four lines
// against one tube's, lane by lane: whatever form they take on a processor
// (loads that transpose as they load, weights held in registers, rows stored
// a lane at a time), each lane must give what its own line gives through the
// one-tube steps, to the bit, NaN payloads included.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"  // the engine's entry points
#include "engine/lockstep_core.h"
#pragma GCC diagnostic pop

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>

#include "model/side_by_side.h"

namespace {

constexpr uint32_t SIZE = 997;  // any line size; the guard slots follow it

uint32_t bits(float x)
{
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Mostly ordinary samples, with quiet NaNs of many payloads and both signs,
// infinities, zeros and subnormals among them, so that every place where two
// NaNs may meet in the read meets some.
float random_sample(std::mt19937& random)
{
    const uint32_t kind = random() % 16;
    if (kind == 0) {
        const uint32_t nan = 0x7FC00000u | (random() & 0x803FFFFFu);
        float x;
        std::memcpy(&x, &nan, sizeof x);
        return x;
    }
    if (kind == 1) {
        return random() % 2 ? INFINITY : -INFINITY;
    }
    if (kind == 2) {
        return random() % 2 ? 0.0f : -1e-40f;
    }
    return std::uniform_real_distribution<float>(-2.0f, 2.0f)(random);
}

std::unique_ptr<TubeBank> random_lines(std::mt19937& random)
{
    auto bank = std::make_unique<TubeBank>();
    for (auto& line : bank->delay) {
        for (float& slot : line) {
            slot = random_sample(random);
        }
    }
    return bank;
}

}  // namespace

TEST(LockstepLines, EightLaneReadIsEachLanesOwnRead)
{
    std::mt19937 random(31);
    const auto bank = random_lines(random);
    const lockstep::BankLines<true> lines{*bank};
    std::uniform_int_distribution<int32_t> slot(0, SIZE + DELAY_GUARD - 6);
    for (int trial = 0; trial < 3000; ++trial) {
        int32_t index[8];
        float f[8];
        for (int k = 0; k < 8; ++k) {
            index[k] = slot(random);
            f[k] = trial % 7 == 0 ? 0.0f : std::uniform_real_distribution<float>(0.0f, 1.0f)(random);
        }
        I32x4 low, high;
        std::memcpy(&low, index, sizeof low);
        std::memcpy(&high, index + 4, sizeof high);
        const F32x8 v = lockstep::read_two_steps(lines, join(low, high), join(f, f + 4), false);
        float got[8];
        std::memcpy(got, &v, sizeof got);
        for (int k = 0; k < 8; ++k) {
            const float expected = read_delay(OneLine{bank->delay[k % 4]}, index[k], f[k]);
            // Under an emulator that does not choose among NaNs as the
            // processor does, any NaN stands for any other.
            ASSERT_TRUE(model::same_sample(got[k], expected))
                << std::hex << bits(got[k]) << " against " << bits(expected) << std::dec
                << ", lane " << k << " trial " << trial;
        }
    }
}

TEST(LockstepLines, FourSlotWriteIsFourWritesPerLine)
{
    std::mt19937 random(47);
    const auto bank = random_lines(random);
    auto expected = std::make_unique<TubeBank>(*bank);
    const lockstep::BankLines<true> lines{*bank};
    // From every slot near the start (the guard copies), the end (the wrap)
    // and a stretch between.
    for (uint32_t start = 0; start < SIZE; start = start == 40 ? SIZE - 40 : start + 1) {
        F32x4 value[4];
        for (auto& v : value) {
            for (int k = 0; k < 4; ++k) {
                v[k] = random_sample(random);
            }
        }
        uint32_t w = start;
        lockstep::write_four(lines, w, SIZE, value[0], value[1], value[2], value[3]);
        uint64_t next = 0;
        for (int k = 0; k < 4; ++k) {
            uint64_t index = start;
            for (const F32x4& v : value) {
                write_delay(OneLine{expected->delay[k]}, index, uint64_t{SIZE}, v[k]);
            }
            next = index;
        }
        ASSERT_EQ(w, next) << start;
        ASSERT_EQ(std::memcmp(bank->delay, expected->delay, sizeof bank->delay), 0) << start;
    }
}
