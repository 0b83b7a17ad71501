#include "engine/tube.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "engine/in_tune.h"

namespace {

const float NaN = std::numeric_limits<float>::quiet_NaN();
const float INF = std::numeric_limits<float>::infinity();

// A tube as a new bank leaves it, before any host rate is applied.
Tube fresh_tube()
{
    Tube tube;
    construct_tube(tube);
    return tube;
}

// A tube that has glided to `length` and rests there at 48000 Hz, decay 100.
Tube resting_tube(uint64_t length)
{
    Tube tube = fresh_tube();
    set_transpose(tube, 0.0f);
    tube.length = length;
    tube.glide_target = length;
    tube.pending_length = 0;
    return tube;
}

bool same_bits(const Tube& a, const Tube& b)
{
    return std::memcmp(&a, &b, sizeof(Tube)) == 0;
}

}  // namespace

TEST(TubeConstruction, StartsProvisionalAtFortyEightKilohertz)
{
    const Tube tube = fresh_tube();
    EXPECT_EQ(tube.note, 60.0f);
    EXPECT_TRUE(std::isnan(tube.transpose));
    EXPECT_EQ(tube.decay, 100.0f);
    EXPECT_EQ(tube.decay_time, 400.0f);
    EXPECT_EQ(tube.damping_hz, 12000.0f);
    EXPECT_EQ(tube.damping_coef, 0.20787957f);
    EXPECT_EQ(tube.gain, 1.0f);
    EXPECT_EQ(tube.level_db, 0.0f);
    EXPECT_EQ(tube.length, 3000u);
    EXPECT_EQ(tube.pending_length, 121u);
    EXPECT_EQ(tube.glide_target, 0u);
    EXPECT_FALSE(tube.gliding);
    EXPECT_EQ(tube.read_speed, 1.0f);
    // 0.001 ^ (3000 / 19200), negated by the default decay.
    EXPECT_EQ(tube.feedback, -0.33982083f);
}

// Lengths are periods counted in sub-steps: 4 * rate / f, with note 69 at
// 440 Hz, rounded half away from zero and kept within [121, 5999].
TEST(TubeTuning, LengthOfEachNote)
{
    struct Case {
        float rate, note, transpose;
        uint64_t length;
    };
    const Case cases[] = {
        {48000, 60, 0, 734},  // 733.87 rounds up, not down
        {48000, 64, 0, 582},    {48000, 67, 0, 490},
        {48000, 69, 0, 436},    {48000, 72, 0, 367},
        {48000, 24, 0, 5871},   {48000, 23, 0, 5999},  // 6220 clamped
        {48000, 91, 0, 122},    {48000, 92, 0, 121},   // 115.6 clamped
        {44100, 69, 0, 401},    {48000, 60, 12, 367},
        {48000, 64, 12, 291},   {48000, 67, 12, 245},
        {48000, 72, 12, 183},   {48000, 60.25f, 0.25f, 693},  // 60.5 rounds to 61
        {48000, 59.5f, 0, 734},                               // 59.5 rounds to 60
        {48000, 69.4f, 0, 436}, {48000, NaN, 0, 121},
        {48000, 60, NaN, 121},  {48000, INF, 0, 121},
        {48000, -INF, 0, 5999}, {0, 60, 0, 121},
        {-48000, 60, 0, 121},   {NaN, 60, 0, 121},
        {INF, 60, 0, 5999},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(requested_length(c.note, c.transpose, c.rate), c.length)
            << "rate " << c.rate << " note " << c.note << " transpose " << c.transpose;
    }
}

TEST(TubeTuning, RoundingToACountIsHalfAwayFromZeroAndSaturates)
{
    struct Case {
        float x;
        uint64_t count;
    };
    const Case cases[] = {
        {NaN, 0},
        {-INF, 0},
        {-1.0f, 0},
        {-0.5f, 0},
        {-0.0f, 0},
        {0.49999997f, 0},
        {0.5f, 1},
        {1.5f, 2},
        {2.5f, 3},
        {733.87f, 734},
        {5998.5f, 5999},
        {1.8446743e19f, 18446742974197923840ull},
        {1.8446744e19f, std::numeric_limits<uint64_t>::max()},
        {1e30f, std::numeric_limits<uint64_t>::max()},
        {INF, std::numeric_limits<uint64_t>::max()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(round_to_count(c.x), c.count) << c.x;
    }
}

TEST(TubeTuning, RetuneKeepsFeedbackForTheLengthTheTubeHasNow)
{
    Tube tube = resting_tube(734);
    set_note(tube, 72.0f);
    EXPECT_EQ(tube.pending_length, 367u);
    EXPECT_EQ(tube.length, 734u);
    EXPECT_NEAR(tube.feedback, 0.767914f, 1e-6f);  // 0.001 ^ (734 / 19200)
}

TEST(TubeTuning, SetOperationsIgnoreTheValueAlreadyHeld)
{
    Tube tube = resting_tube(734);
    set_level(tube, -6.0f);
    set_damping(tube, 6000.0f);
    const Tube before = tube;
    set_note(tube, 60.0f);
    set_transpose(tube, -0.0f);  // +0 and -0 are the same value
    set_decay(tube, 100.0f);
    set_level(tube, -6.0f);
    set_damping(tube, 6000.0f);
    EXPECT_TRUE(same_bits(before, tube));
}

TEST(TubeTuning, SampleRateAloneRecomputesNothing)
{
    Tube tube = fresh_tube();
    set_sample_rate(tube, 96000.0f);
    EXPECT_EQ(tube.sample_rate, 96000.0f);
    EXPECT_EQ(tube.pending_length, 121u);
    EXPECT_EQ(tube.feedback, -0.33982083f);
}

// A request for the length a tube is at or heading for withdraws an older
// request, so the tube ends where its latest controls point.
TEST(TubeTuning, LatestRequestAlwaysWins)
{
    {
        SCOPED_TRACE("transpose up and note down in one run: back where it rests");
        Tube tube = resting_tube(734);
        set_transpose(tube, 12.0f);
        EXPECT_EQ(tube.pending_length, 367u);
        set_note(tube, 48.0f);
        EXPECT_EQ(tube.pending_length, 0u);
    }
    struct Case {
        const char* what;
        uint64_t glide_target, length, pending_before;
        float note;
        uint64_t pending_after;
    };
    const Case during_glide[] = {
        // Without this the change would be lost: 734 is only where the glide
        // happens to be, not where it is going.
        {"back to the note of 734 just as a glide to 582 passes 734", 582, 734, 0, 60.0f, 734},
        {"a request equal to the running glide's target is dropped", 490, 600, 582, 67.0f, 0},
    };
    for (const Case& c : during_glide) {
        SCOPED_TRACE(c.what);
        Tube tube = resting_tube(734);
        tube.note = 0.0f;
        tube.gliding = true;
        tube.glide_target = c.glide_target;
        tube.length = c.length;
        tube.pending_length = c.pending_before;
        set_note(tube, c.note);
        EXPECT_EQ(tube.pending_length, c.pending_after);
    }
    {
        SCOPED_TRACE("a tube that never glided holds only a provisional length");
        Tube tube = fresh_tube();
        tube.length = requested_length(60.0f, 0.0f, tube.sample_rate);
        set_transpose(tube, 0.0f);
        EXPECT_EQ(tube.pending_length, tube.length);
    }
}

TEST(TubeDecay, FeedbackFallsBySixtyDecibelsInTheDecayTime)
{
    Tube tube = fresh_tube();  // length 3000 at 48000 Hz
    set_decay(tube, 200.0f);
    EXPECT_EQ(tube.decay_time, 800.0f);
    EXPECT_NEAR(tube.feedback, -0.582942f, 1e-6f);  // -(0.001 ^ (3000 / 38400))
    set_decay(tube, 100.0f);
    EXPECT_EQ(tube.feedback, -0.33982083f);
    set_transpose(tube, 0.0f);  // retune makes it positive again
    EXPECT_EQ(tube.feedback, 0.33982086f);
}

TEST(TubeDecay, DegenerateDecaysStayInsideTheClamp)
{
    Tube tube = fresh_tube();
    set_decay(tube, 0.0f);
    EXPECT_EQ(tube.feedback, 0.0f);
    EXPECT_TRUE(std::signbit(tube.feedback));
    set_transpose(tube, 0.0f);
    EXPECT_EQ(tube.feedback, 0.0f);
    EXPECT_FALSE(std::signbit(tube.feedback));

    set_decay(tube, -5.0f);
    EXPECT_EQ(tube.feedback, -0.99999f);
    set_transpose(tube, 1.0f);
    EXPECT_EQ(tube.feedback, 0.99999f);

    EXPECT_EQ(clamp_feedback(-2.0f), -0.99999f);
    EXPECT_EQ(clamp_feedback(INF), 0.99999f);
    EXPECT_TRUE(std::isnan(clamp_feedback(NaN)));
}

TEST(TubeLevelAndDamping, Mappings)
{
    Tube tube = fresh_tube();
    struct LevelCase {
        float db, gain;
    };
    for (const LevelCase& c :
         {LevelCase{-6.0f, 0.50118721f}, LevelCase{0.0f, 1.0f}, LevelCase{-120.0f, 0.0f},
          LevelCase{-500.0f, 0.0f}, LevelCase{-INF, 0.0f}, LevelCase{NaN, 0.0f}}) {
        set_level(tube, c.db);
        EXPECT_EQ(tube.gain, c.gain) << c.db;
    }
    set_level(tube, -119.99f);
    EXPECT_NEAR(tube.gain, 1.0011519e-6f, 1e-11f);  // 10 ^ -5.9995
    set_level(tube, 6.0f);
    EXPECT_NEAR(tube.gain, 1.9952623f, 1e-6f);

    set_damping(tube, 6000.0f);
    EXPECT_EQ(tube.damping_coef, 0.45593813f);
    set_damping(tube, 12000.0f);
    EXPECT_EQ(tube.damping_coef, 0.20787957f);
    set_sample_rate(tube, 96000.0f);  // the pole does not follow the rate
    set_damping(tube, 6000.0f);
    EXPECT_EQ(tube.damping_coef, 0.45593813f);
}

TEST(TubeLevelAndDamping, NanIsTakenUpEveryTime)
{
    Tube tube = fresh_tube();
    set_level(tube, NaN);
    EXPECT_TRUE(std::isnan(tube.level_db));
    EXPECT_EQ(tube.gain, 0.0f);
    set_level(tube, 0.0f);  // a stored NaN matches nothing
    EXPECT_EQ(tube.gain, 1.0f);
}

// In tune, each request's distance is what the model gives for the tube's
// note, rate, damping and decay at that moment, whether it was worked out
// afresh or remembered: notes come back, transposes cancel, and the rate,
// damping and decay change in between, at random.
TEST(TubeTuning, RememberedDistancesAreTheModelsOwn)
{
    Tube tube;
    construct_tube(tube);
    set_sample_rate(tube, 48000.0f);
    set_transpose(tube, 0.0f);
    set_tuning(tube, TUNING_IN_TUNE);
    std::mt19937 random(7);
    int checked = 0;
    for (int step = 0; step < 400; ++step) {
        const int what = static_cast<int>(random() % 10);
        if (what < 5) {
            set_note(tube, static_cast<float>(48 + random() % 5));
        } else if (what < 7) {
            set_transpose(tube, static_cast<float>(static_cast<int>(random() % 3) * 12 - 12));
        } else if (what == 7) {
            set_damping(tube, random() % 2 ? 3000.0f : 12000.0f);
        } else if (what == 8) {
            set_decay(tube, random() % 2 ? 300.0f : 1000.0f);
        } else {
            set_sample_rate(tube, random() % 2 ? 44100.0f : 48000.0f);
        }
        if (tube.pending_length != 0) {
            const float fresh = in_tune_distance(tube.note + tube.transpose, tube.sample_rate,
                                                 tube.damping_coef, tube.decay);
            ASSERT_EQ(tube.pending_distance, fresh) << "step " << step;
            ++checked;
        }
        tube.pending_length = 0;
        tube.pending_distance = 0.0f;
    }
    EXPECT_GT(checked, 150);
}
