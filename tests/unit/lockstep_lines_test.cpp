// The lockstep engine's eight-lane read of the bank's four lines against one
// tube's read of its own line, lane by lane: whatever form it takes on a
// processor (loads that transpose as they load, weights held in registers),
// each lane must give what its own line gives through the one-tube steps, to
// the bit, NaN payloads included. The lines hold NaNs of many payloads and
// both signs, so that NaNs meet wherever they can in the read, which a
// session through the plug-in seldom makes happen. (A wrong write shows in
// the engine-path sessions' output.)
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

TEST(LockstepLines, EightLaneReadIsEachLanesOwnRead)
{
    std::mt19937 random(31);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const auto bank = std::make_unique<TubeBank>();
    // Mostly ordinary samples, with NaNs, infinities, zeros and subnormals.
    for (auto& line : bank->delay) {
        for (float& slot : line) {
            const uint32_t kind = random() % 16;
            const uint32_t nan = 0x7FC00000u | (random() & 0x803FFFFFu);
            std::memcpy(&slot, &nan, sizeof slot);
            if (kind == 1) slot = random() % 2 ? INFINITY : -INFINITY;
            if (kind == 2) slot = random() % 2 ? 0.0f : -1e-40f;
            if (kind > 2) slot = 4.0f * unit(random) - 2.0f;
        }
    }
    const lockstep::BankLines<true> lines{*bank};
    constexpr int32_t SIZE = 997;  // any line size; the guard slots follow it
    std::uniform_int_distribution<int32_t> slot(0, SIZE + DELAY_GUARD - 6);
    for (int trial = 0; trial < 3000; ++trial) {
        int32_t index[8];
        float f[8];
        for (int k = 0; k < 8; ++k) {
            index[k] = slot(random);
            f[k] = trial % 7 == 0 ? 0.0f : unit(random);
        }
        I32x4 low, high;
        std::memcpy(&low, index, sizeof low);
        std::memcpy(&high, index + 4, sizeof high);
        const F32x8 v = lockstep::read_two_steps(lines, join(low, high), join(f, f + 4));
        float got[8];
        std::memcpy(got, &v, sizeof got);
        for (int k = 0; k < 8; ++k) {
            const float expected = read_delay(OneLine{bank->delay[k % 4]}, index[k], f[k]);
            // Under an emulator that does not choose among NaNs as the
            // processor does, any NaN stands for any other.
            ASSERT_TRUE(model::same_sample(got[k], expected))
                << std::hex << model::bits(got[k]) << " against " << model::bits(expected)
                << std::dec << ", lane " << k << " trial " << trial;
        }
    }
}
