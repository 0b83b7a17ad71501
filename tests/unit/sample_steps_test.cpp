#include "engine/sample_steps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include <cmath>

namespace {

const float POSITIONS[4] = {0.25f, 0.5f, 0.75f, 1.0f};

// Uniform cubic B-spline weights of h0..h3 at position t between h1 and h2.
double cubic_weight(int k, double t)
{
    switch (k) {
    case 0:
        return std::pow(1 - t, 3) / 6;
    case 1:
        return (3 * t * t * t - 6 * t * t + 4) / 6;
    case 2:
        return (-3 * t * t * t + 3 * t * t + 3 * t + 1) / 6;
    default:
        return t * t * t / 6;
    }
}

// Uniform quintic B-spline weights of p0..p5 at fraction f between p2 and p3,
// as the textbook basis (times 120).
double quintic_weight(int k, double f)
{
    static const double W[6][6] = {
        {1, 26, 66, 26, 1, 0},    {-5, -50, 0, 50, 5, 0},  {10, 20, -60, 20, 10, 0},
        {-10, 20, 0, -20, 10, 0}, {5, -20, 30, -20, 5, 0}, {-1, 5, -10, 10, -5, 1},
    };
    double sum = 0;
    for (int r = 0; r < 6; ++r) {
        sum += W[r][k] * std::pow(f, r);
    }
    return sum / 120;
}

// The six-point read of one line at slot 0 of p.
float read_delay(const float (&p)[6], float f)
{
    float line[6];
    std::copy(p, p + 6, line);
    return read_delay(OneLine{line}, 0, f);
}

// The modulated read of one tube's line: read position, then the six points.
float read_modulated(const Tube& tube, float* line, float modulation)
{
    int32_t index;
    float f;
    read_position(tube, modulation, index, f);
    return read_delay(OneLine{line}, index, f);
}

}  // namespace

TEST(Upsampler, WeightsAreTheCubicBSpline)
{
    for (int k = 0; k < 4; ++k) {
        float h[4] = {0, 0, 0, 0};
        h[k] = 1.0f;
        const Cubic<float> s = cubic_through(h[0], h[1], h[2], h[3]);
        for (float t : POSITIONS) {
            EXPECT_NEAR(upsample(s, t) + s.c0, cubic_weight(k, t), 1e-7) << k << " " << t;
        }
    }
}

TEST(Upsampler, StepInTheNewestSampleRisesAsTCubedOverSix)
{
    const float h[4] = {0, 0, 0, 1};
    const Cubic<float> s = cubic_through(h[0], h[1], h[2], h[3]);
    EXPECT_EQ(s.c0, 0.0f);
    const float expected[4] = {1.0f / 384, 1.0f / 48, 9.0f / 128, 1.0f / 6};
    for (int j = 0; j < 4; ++j) {
        EXPECT_FLOAT_EQ(upsample(s, POSITIONS[j]), expected[j]);
    }
}

TEST(Upsampler, ConstantInputPassesUnchanged)
{
    for (float c : {1.0f, -0.25f, 1000.0f}) {
        const float h[4] = {c, c, c, c};
        const Cubic<float> s = cubic_through(h[0], h[1], h[2], h[3]);
        for (float t : POSITIONS) {
            EXPECT_FLOAT_EQ(upsample(s, t) + s.c0, c);
        }
    }
}

TEST(DelayRead, WeightsAreTheQuinticBSpline)
{
    for (int k = 0; k < 6; ++k) {
        float p[6] = {0, 0, 0, 0, 0, 0};
        p[k] = 1.0f;
        for (float f : {0.0f, 0.1f, 0.5f, 0.75f, 0.999f}) {
            EXPECT_NEAR(read_delay(p, f), quintic_weight(k, f), 2e-7) << k << " " << f;
        }
    }
    const float single[6] = {0, 0, 2.0f, 0, 0, 0};
    EXPECT_FLOAT_EQ(read_delay(single, 0.0f), 1.1f);  // 0.55 of the centre point
}

TEST(DelayRead, ConstantLineReadsTheConstant)
{
    const float p[6] = {0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f};
    for (float f : {0.0f, 0.25f, 0.5f, 0.99f}) {
        EXPECT_FLOAT_EQ(read_delay(p, f), 0.3f);
    }
}

TEST(DelayRead, ModulatedReadStaysInsideTheGuardSlots)
{
    Tube tube{};
    std::vector<float> line(DELAY_SLOTS, 1.0f);
    for (float pos : {0.0f, 5995.5f, 5997.0f, 5999.9995f}) {
        tube.read_pos = pos;
        // Worst case modulation (m = 1) reaches read_pos + 4 before the wrap.
        EXPECT_FLOAT_EQ(read_modulated(tube, line.data(), 1.0f), 1.0f) << pos;
        EXPECT_FLOAT_EQ(read_modulated(tube, line.data(), 0.0f), 1.0f) << pos;
    }
}

TEST(DcBlocker, RemovesAConstantGeometrically)
{
    Tube tube{};
    const float c = 0.5f;
    double expected = DC_GAIN * c;
    for (int step = 0; step < 2000; ++step) {
        const float d = dc_block(tube, c);
        // The integrator is kept in single precision, near 160 here, so d
        // carries its rounding of a few 1e-6.
        ASSERT_NEAR(d, expected, 3e-5) << step;
        expected *= DC_POLE;
    }
    EXPECT_LT(std::fabs(dc_block(tube, c)), 0.001f);
}

TEST(DcBlocker, PassesNyquistAtUnityGain)
{
    Tube tube{};
    float d = 0.0f;
    for (int step = 0; step < 20000; ++step) {
        d = dc_block(tube, step % 2 ? 1.0f : -1.0f);
    }
    EXPECT_NEAR(std::fabs(d), 1.0f, 1e-4f);
}

TEST(LoopFilter, ConstantInputDiesAway)
{
    Tube tube{};
    tube.damping_coef = 0.20787957f;
    float written = 1.0f;
    for (int step = 0; step < 100000; ++step) {
        written = loop_filter(tube, 1.0f);
    }
    EXPECT_NEAR(tube.highpass_state, 1.0f, 1e-4f);
    EXPECT_NEAR(written, 0.0f, 1e-4f);
}

TEST(LoopFilter, FirstOutputIsTheHighPassedInputThroughTheLowPass)
{
    Tube tube{};
    tube.damping_coef = 0.25f;
    // From rest: high-pass output k*x, then low-pass (1 - c) of it.
    EXPECT_FLOAT_EQ(loop_filter(tube, 1.0f), HIGHPASS_POLE * 0.75f);
    EXPECT_FLOAT_EQ(tube.highpass_state, 1.0f - HIGHPASS_POLE);
}

TEST(SoftClip, BoundedAndOdd)
{
    EXPECT_EQ(soft_clip(0.0f), 0.0f);
    EXPECT_FLOAT_EQ(soft_clip(1.0f), 1.0f / std::sqrt(2.0f));
    EXPECT_FLOAT_EQ(soft_clip(-1.0f), -1.0f / std::sqrt(2.0f));
    for (float d : {10.0f, 1e6f, 1e19f, -1e19f}) {
        EXPECT_LE(std::fabs(soft_clip(d)), 1.0f) << d;
    }
}

TEST(DelayWrite, GuardSlotsMirrorTheFirstFive)
{
    Tube tube{};
    tube.line_size = DELAY_SIZE;
    std::vector<float> line(DELAY_SLOTS, 0.0f);
    for (uint64_t w = 0; w < DELAY_SIZE; ++w) {
        tube.write_index = w;
        write_delay(OneLine{line.data()}, tube.write_index, tube.line_size,
                    static_cast<float>(w + 1));
    }
    EXPECT_EQ(tube.write_index, 0u);  // 5999 is followed by 0
    for (uint64_t j = 0; j < DELAY_GUARD; ++j) {
        EXPECT_EQ(line[DELAY_SIZE + j], line[j]);
    }
    line[DELAY_SIZE] = -1.0f;
    tube.write_index = 5;
    write_delay(OneLine{line.data()}, tube.write_index, tube.line_size, 9.0f);
    EXPECT_EQ(line[DELAY_SIZE], -1.0f);  // slot 5 has no guard copy
}

TEST(Positions, ReadPositionAndModulatorWrap)
{
    Tube tube{};
    tube.line_size = DELAY_SIZE;
    tube.read_pos = 5999.5f;
    tube.read_speed = 1.0f;
    advance_read(tube);
    EXPECT_EQ(tube.read_pos, 0.5f);

    tube.lfo_phase = 0.99999f;
    const float m = advance_lfo(tube);
    EXPECT_NEAR(tube.lfo_phase, -1.0f, 1e-4f);
    EXPECT_NEAR(m, 1.0f, 1e-4f);  // the triangle does not jump
}
