#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "support/plugin_harness.h"

namespace {

void expect_pending(PluginHarness& h, const uint64_t (&lengths)[TUBE_COUNT])
{
    for (int i = 0; i < TUBE_COUNT; ++i) {
        EXPECT_EQ(h.tube(i).pending_length, lengths[i]) << "tube " << i + 1;
    }
}

}  // namespace

TEST(Controls, FirstRunRetunesEveryTubeAtTheHostRate)
{
    PluginHarness h(48000.0);
    h.run(0);  // controls are taken up even when no frame is asked for
    expect_pending(h, {734, 582, 490, 367});
    for (int i = 0; i < TUBE_COUNT; ++i) {
        EXPECT_EQ(h.tube(i).feedback, 0.33982086f);  // still for length 3000
        EXPECT_EQ(h.tube(i).length, 3000u);
        EXPECT_EQ(h.tube(i).write_index, 0u);
    }
    const Controls& c = h.instance().controls;
    EXPECT_EQ(c.control[CONTROL_TRANSPOSE].cache, 0.0f);
    EXPECT_EQ(c.control[CONTROL_DECAY].cache, 100.0f);
    EXPECT_EQ(c.control[CONTROL_LEVEL].cache, 0.0f);
    EXPECT_EQ(c.control[CONTROL_DAMPING].cache, 12000.0f);
    EXPECT_EQ(c.control[CONTROL_NOTE_4].cache, 72.0f);
}

TEST(Controls, FirstRunAtOtherRates)
{
    PluginHarness h(44100.0);
    h.run(0);
    expect_pending(h, {674, 535, 450, 337});
    EXPECT_EQ(h.tube(0).sample_rate, 44100.0f);
}

TEST(Controls, EachSharedControlReachesAllTubes)
{
    PluginHarness h(48000.0);
    h.run(0);
    h.control.transpose = 12.0f;
    h.run(0);
    expect_pending(h, {367, 291, 245, 183});

    h.control.decay = 200.0f;
    h.control.level = -6.0f;
    h.control.damping = 6000.0f;
    h.run(0);
    for (int i = 0; i < TUBE_COUNT; ++i) {
        EXPECT_NEAR(h.tube(i).feedback, -0.582942f, 1e-6f);
        EXPECT_EQ(h.tube(i).gain, 0.50118721f);
        EXPECT_EQ(h.tube(i).damping_coef, 0.45593813f);
    }
}

TEST(Controls, OrderDecidesTheFeedbackSign)
{
    PluginHarness h(48000.0);
    h.run(0);
    // Transpose before decay: the decay's negative feedback stays.
    h.control.transpose = 1.0f;
    h.control.decay = 50.0f;
    h.run(0);
    for (int i = 0; i < TUBE_COUNT; ++i) {
        EXPECT_LT(h.tube(i).feedback, 0.0f) << "tube " << i + 1;
    }
    // Decay before the notes: only the retuned tube turns positive.
    h.control.decay = 60.0f;
    h.control.note[1] = 65.0f;
    h.run(0);
    EXPECT_LT(h.tube(0).feedback, 0.0f);
    EXPECT_GT(h.tube(1).feedback, 0.0f);
    EXPECT_LT(h.tube(2).feedback, 0.0f);
}

TEST(Controls, NoteReachesOnlyItsOwnTube)
{
    PluginHarness h(48000.0);
    h.run(0);
    h.control.note[2] = 69.0f;
    h.run(0);
    expect_pending(h, {734, 582, 436, 367});
}

TEST(Controls, UnchangedPortsCostNothing)
{
    PluginHarness h(48000.0);
    h.run(0);
    const Tube before = h.tube(0);
    h.run(0);
    const Tube after = h.tube(0);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(Tube)), 0);
}

TEST(Controls, NanIsHandedOnAtEveryRun)
{
    PluginHarness h(48000.0);
    h.run(0);
    h.control.note[0] = std::numeric_limits<float>::quiet_NaN();
    h.run(0);
    EXPECT_EQ(h.tube(0).pending_length, 121u);
    h.edit_tube(0, [](Tube& t) { t.pending_length = 0; });
    h.run(0);  // NaN never equals its cache, so the tube retunes again
    EXPECT_EQ(h.tube(0).pending_length, 121u);
}
