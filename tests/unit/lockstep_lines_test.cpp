// The lockstep engine's eight-lane read of the bank's four lines against one
// tube's read of its own line, lane by lane: whatever form it takes on a
// processor (loads that transpose as they load, weights held in registers),
// each lane must give what its own line gives through the one-tube steps, to
// the bit, NaN payloads included. The lines hold NaNs of many payloads and
// both signs, so that NaNs meet wherever they can in the read, which a
// session through the plug-in seldom makes happen. (A wrong write shows in
// the engine-path sessions' output.) The same for the read of a frame whose
// slots follow one another, nine slots in a row per lane.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <random>

#if defined(__arm__)
#include <sys/auxv.h>
#endif

#include "lockstep_in_a_row.h"
#include "model/side_by_side.h"
#include "plugin/fp_mode.h"

bool read_in_a_row_avx(TubeBank& bank, const int32_t (&index)[SUB_STEPS][TUBE_COUNT],
                       const float (&f)[SUB_STEPS][TUBE_COUNT], float (&v)[SUB_STEPS][TUBE_COUNT]);
bool read_in_a_row_neon(TubeBank& bank, const int32_t (&index)[SUB_STEPS][TUBE_COUNT],
                        const float (&f)[SUB_STEPS][TUBE_COUNT], float (&v)[SUB_STEPS][TUBE_COUNT]);

namespace {

constexpr int32_t SIZE = 997;  // any line size; the guard slots follow it

// Mostly ordinary samples, with NaNs, infinities, zeros and subnormals.
std::unique_ptr<TubeBank> lines_of_all_kinds(std::mt19937& random)
{
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    auto bank = std::make_unique<TubeBank>();
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
    return bank;
}

// Under an emulator that does not choose among NaNs as the processor does,
// any NaN stands for any other.
// NEON gives its default NaN for every NaN: the engine keeps nothing a NaN
// came out of there (any_nan_is_one).
void expect_own_read(TubeBank& bank, int lane, int32_t index, float f, float got, int trial,
                     bool any_nan_is_one = false)
{
    const float expected = read_delay(OneLine{bank.delay[lane]}, index, f);
    ASSERT_TRUE(model::same_sample(got, expected) ||
                (any_nan_is_one && got != got && expected != expected))
        << std::hex << model::bits(got) << " against " << model::bits(expected) << std::dec
        << ", lane " << lane << " trial " << trial;
}

}  // namespace

TEST(LockstepLines, EightLaneReadIsEachLanesOwnRead)
{
    std::mt19937 random(31);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const auto bank = lines_of_all_kinds(random);
    const lockstep::BankLines<true> lines{*bank};
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
            expect_own_read(*bank, k % 4, index[k], f[k], got[k], trial);
        }
    }
}

// Every fourth frame has one slot out of its row, by one either way: then
// nothing may be read. Where no such read is built (a processor without AVX,
// 32-bit ARM without NEON), nothing may be read at all, and the frame reads
// as before. NEON's reads are compared in the mode the engine uses them in,
// which flushes subnormals as NEON always does.
TEST(LockstepLines, ReadOfSlotsInARowIsEachSubStepsOwnRead)
{
    auto read = read_in_a_row_as_built;
    bool built = false;
    bool neon = false;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx")) {
        read = read_in_a_row_avx;
        built = true;
    }
#elif defined(__aarch64__)
    built = true;
#elif defined(__arm__)
    neon = (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;
    if (neon) {
        read = read_in_a_row_neon;
        built = true;
    }
#endif
    std::optional<FlushToZeroScope> mode;
    if (neon) {
        mode.emplace();
    }
    std::mt19937 random(37);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const auto bank = lines_of_all_kinds(random);
    std::uniform_int_distribution<int32_t> slot(0, SIZE + DELAY_GUARD - 9);
    for (int trial = 0; trial < 3000; ++trial) {
        int32_t index[SUB_STEPS][TUBE_COUNT];
        float f[SUB_STEPS][TUBE_COUNT];
        for (int k = 0; k < TUBE_COUNT; ++k) {
            const int32_t first = slot(random);
            for (int j = 0; j < SUB_STEPS; ++j) {
                index[j][k] = first + j;
                f[j][k] = trial % 7 == 0 ? 0.0f : unit(random);
            }
        }
        const bool in_a_row = trial % 4 != 1;
        if (!in_a_row) {
            index[1 + random() % 3][random() % TUBE_COUNT] += random() % 2 ? 1 : -1;
        }
        float got[SUB_STEPS][TUBE_COUNT];
        const bool read_here = built && in_a_row;
        ASSERT_EQ(read(*bank, index, f, got), read_here) << "trial " << trial;
        for (int j = 0; read_here && j < SUB_STEPS; ++j) {
            for (int k = 0; k < TUBE_COUNT; ++k) {
                expect_own_read(*bank, k, index[j][k], f[j][k], got[j][k], trial, neon);
            }
        }
    }
}
