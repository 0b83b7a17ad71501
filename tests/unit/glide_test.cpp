#include "engine/sample_steps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "support/plugin_harness.h"

namespace {

// Frames until tube i stops gliding; gives up after `limit` frames.
uint32_t frames_until_arrival(PluginHarness& h, int i, uint32_t limit)
{
    for (uint32_t frame = 1; frame <= limit; ++frame) {
        h.run(1);
        if (!h.tube(i).gliding && h.tube(i).pending_length == 0) {
            return frame;
        }
    }
    return limit + 1;
}

}  // namespace

TEST(Glide, MeasuredLengthCountsBackFromTheWriteIndex)
{
    struct Case {
        uint64_t write_index;
        float read_pos;
        uint64_t length;
    };
    const Case cases[] = {
        {10, 3.7f, 7}, {500, 0.0f, 500},      {5, 5.5f, 6000},     {0, 5999.2f, 1},
        {1, 0.0f, 1},  {4000, 4000.0f, 6000}, {4000, 3999.99f, 1},
    };
    for (const Case& c : cases) {
        Tube tube{};
        tube.line_size = DELAY_SIZE;
        tube.write_index = c.write_index;
        tube.read_pos = c.read_pos;
        EXPECT_EQ(measured_length(tube), c.length) << c.write_index << " " << c.read_pos;
    }
}

TEST(Glide, GrowsFromFiveHundredToSixHundred)
{
    PluginHarness h(48000.0);
    start_glide(h, 0, 500, 600);

    h.run(1);
    Tube tube = h.tube(0);
    EXPECT_TRUE(tube.gliding);
    EXPECT_EQ(tube.glide_target, 600u);
    EXPECT_EQ(tube.read_speed, 0.9f);
    EXPECT_EQ(tube.pending_length, 0u);

    // 100 sub-steps of growth at 0.1 each: about 250 frames.
    const uint32_t frames = frames_until_arrival(h, 0, 400);
    EXPECT_GE(frames, 240u);
    EXPECT_LE(frames, 260u);
    tube = h.tube(0);
    EXPECT_EQ(tube.length, 600u);
    EXPECT_EQ(tube.read_speed, 1.0f);
    EXPECT_NEAR(tube.feedback, 0.80584219f, 1e-6f);  // 0.001 ^ (600 / 19200)

    // At rest the length stays put. Between sub-steps the write index is not
    // yet advanced, so the distance reads one less than the length.
    h.run(2000);
    tube = h.tube(0);
    EXPECT_EQ(measured_length(tube), 599u);
    EXPECT_EQ(tube.length, 600u);
    EXPECT_FALSE(tube.gliding);
}

TEST(Glide, FirstGlideSweepsRoundToTheNote)
{
    // From the provisional start the first measurement is 1, so a shrinking
    // glide wraps to 6000 and shrinks 0.11 per sub-step: (6000 - 734) / 0.11
    // sub-steps, about 11,970 frames.
    PluginHarness h(48000.0);
    const uint32_t frames = frames_until_arrival(h, 0, 13000);
    EXPECT_GE(frames, 11900u);
    EXPECT_LE(frames, 12050u);
    EXPECT_EQ(h.tube(0).length, 734u);
    EXPECT_EQ(h.tube(0).glide_target, 734u);
    EXPECT_NEAR(h.tube(0).feedback, 0.767914f, 1e-6f);
}

TEST(Glide, RequestDuringAGlideWaitsForTheArrival)
{
    PluginHarness h(48000.0);
    start_glide(h, 0, 500, 600);
    h.run(10);
    // As a note change in between would leave it.
    h.edit_tube(0, [](Tube& t) { t.pending_length = 550; });
    h.run(10);
    EXPECT_EQ(h.tube(0).glide_target, 600u);
    const uint32_t frames = frames_until_arrival(h, 0, 1000);
    EXPECT_LT(frames, 1000u);
    EXPECT_EQ(h.tube(0).length, 550u);  // the second glide shrank back to 550
}

TEST(Glide, IdleTubeKeepsItsSpeedAndLength)
{
    PluginHarness h(48000.0);
    h.run(13000);  // every default tube has arrived by now (note 72 last)
    for (int i = 0; i < TUBE_COUNT; ++i) {
        ASSERT_FALSE(h.tube(i).gliding) << i;
    }
    const uint64_t lengths[TUBE_COUNT] = {734, 582, 490, 367};
    h.run(3000);
    for (int i = 0; i < TUBE_COUNT; ++i) {
        EXPECT_EQ(h.tube(i).length, lengths[i]);
        EXPECT_EQ(h.tube(i).glide_target, lengths[i]);
        EXPECT_EQ(h.tube(i).read_speed, 1.0f);
        EXPECT_EQ(measured_length(h.tube(i)), lengths[i] - 1);
    }
}

TEST(Glide, TransposeAndNoteCancellingOutLeaveTheTubeAtRest)
{
    PluginHarness h(48000.0);
    h.run(13000);
    h.control.transpose = 12.0f;
    h.control.note[0] = 48.0f;
    h.run(4000);
    EXPECT_FALSE(h.tube(0).gliding);
    EXPECT_EQ(h.tube(0).length, 734u);
    EXPECT_TRUE(h.tube(1).gliding || h.tube(1).length == 291u);
}

// A block of 16 frames may skip the glide's per-sub-step bookkeeping when the
// measured length is more than 16 from the target (the lockstep engine's
// margin): that holds only if no 64 sub-steps move the length by 16 or
// more, growing or shrinking. Measured here over whole glides, frame by
// frame through run (every path gives the same lengths).
TEST(Glide, SixteenFramesMoveTheLengthByLessThanSixteen)
{
    struct Case {
        uint64_t from, to;
    };
    for (const Case c : {Case{500, 5800}, Case{5800, 150}}) {
        PluginHarness h(48000.0);
        start_glide(h, 0, c.from, c.to);
        std::vector<uint64_t> lengths;
        for (int frame = 0; frame < 60000 && (lengths.empty() || h.tube(0).gliding); ++frame) {
            h.run(1);
            lengths.push_back(h.tube(0).length);
        }
        ASSERT_EQ(lengths.back(), c.to) << c.from;
        ASSERT_GT(lengths.size(), 16u * 100);
        int64_t widest = 0;
        for (size_t n = 16; n < lengths.size(); ++n) {
            const int64_t moved =
                static_cast<int64_t>(lengths[n]) - static_cast<int64_t>(lengths[n - 16]);
            widest = std::max(widest, moved < 0 ? -moved : moved);
        }
        EXPECT_LE(widest, 9) << c.from << " to " << c.to;
        EXPECT_GE(widest, 6) << c.from << " to " << c.to;  // about 0.1 per sub-step
    }
}

namespace {

// The distance the next sub-step's glide step measures back from the write
// index to the read position, with its fraction.
float distance_ahead(const Tube& tube)
{
    const float d = static_cast<float>(tube.write_index + 1) - tube.read_pos;
    return d <= 0.0f ? d + static_cast<float>(tube.line_size) : d;
}

}  // namespace

TEST(Glide, InTuneLandsOnTheFractionalLengthAndStaysThere)
{
    PluginHarness h(48000.0);
    h.run(0);
    ASSERT_LE(frames_until_arrival(h, 0, 48000), 48000u);
    const uint64_t whole = h.tube(0).length;

    h.edit_tube(0, [](Tube& t) { set_tuning(t, TUNING_IN_TUNE); });
    const float distance = h.tube(0).pending_distance;
    ASSERT_GT(distance, 0.0f);
    EXPECT_NE(distance, std::floor(distance)) << "a fraction to land on";
    EXPECT_EQ(h.tube(0).pending_length, static_cast<uint64_t>(std::ceil(distance)));
    EXPECT_NE(h.tube(0).pending_length, whole);

    // The glide ends on the fraction, and every sub-step at rest keeps it,
    // through the line's wrap (6000 sub-steps: 1500 frames).
    ASSERT_LE(frames_until_arrival(h, 0, 48000), 48000u);
    for (int check = 0; check < 8; ++check) {
        EXPECT_EQ(distance_ahead(h.tube(0)), distance) << "after " << check * 401 << " frames";
        h.run(401);
    }

    // A request whose whole sub-steps stay lands at once, without a glide:
    // a little more damping moves the fraction only.
    h.edit_tube(0, [](Tube& t) { set_damping(t, t.damping_hz + 100.0f); });
    const Tube moved = h.tube(0);
    EXPECT_FALSE(moved.gliding);
    EXPECT_EQ(moved.pending_length, 0u);
    const float new_distance = distance_ahead(moved);
    EXPECT_NE(new_distance, distance);
    EXPECT_EQ(std::ceil(new_distance), std::ceil(distance));
    h.run(1000);
    EXPECT_EQ(distance_ahead(h.tube(0)), new_distance);
}
