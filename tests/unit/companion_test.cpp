// The companions against the four-channel plug-in: with the notes from the
// knobs, the tuning as the four-channel plug-in's, the mix at 100 % and the
// width at 0 %, a companion's two outputs must be the four-channel
// plug-in's four outputs summed in the centre, bit for bit, whatever the
// controls and the block sizes do; at a mix of 50 % the dry input is added
// whole. A key played on the MIDI input must act at its own frame, exactly
// as a change of the note controls between two runs does.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "plugin/companion.h"
#include "plugin/output_mix.h"
#include "support/companion_host.h"
#include "support/plugin_harness.h"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace {

float centre_sum(const PluginHarness& four, uint32_t f)
{
    return centred_tubes(four.out[0][f], four.out[1][f], four.out[2][f], four.out[3][f]);
}

uint32_t bits(float x)
{
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// In-range values of the eight shared controls, the kind a host sends.
void random_controls(std::mt19937& rng, float (&values)[8])
{
    std::uniform_int_distribution<int> note(24, 84), transpose(-24, 24);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 4; ++i) values[i] = float(note(rng));
    values[4] = float(transpose(rng));
    values[5] = 10.0f * std::pow(1000.0f, unit(rng));
    values[6] = -60.0f + 72.0f * unit(rng);
    values[7] = 100.0f * std::pow(200.0f, unit(rng));
}

struct Session {
    PluginKind kind;
    bool split;
    float mix;
    uint32_t seed;
};

void run_session(const Session& s)
{
    SCOPED_TRACE(testing::Message() << "kind " << int(s.kind) << " split " << s.split << " mix "
                                    << s.mix << " seed " << s.seed);
    const uint32_t most = 700;
    PluginHarness four(48000.0, most);
    CompanionHost companion(s.kind, 48000.0, most);
    companion.control(CONTROL_TUNING) = 1.0f;
    companion.control(CONTROL_NOTES_FROM) = 0.0f;
    companion.control(CONTROL_WIDTH) = 0.0f;
    companion.control(CONTROL_MIX) = s.mix;
    if (s.kind == PluginKind::STEREO) companion.control(CONTROL_INPUT) = s.split ? 1.0f : 0.0f;

    std::mt19937 rng(s.seed);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::uniform_int_distribution<uint32_t> block(1, most);
    std::uniform_int_distribution<int> chance(0, 9);
    const bool stereo = s.kind == PluginKind::STEREO;
    uint64_t compared = 0;
    for (int b = 0; b < 120; ++b) {
        if (chance(rng) < 3) {
            float values[8];
            random_controls(rng, values);
            const ControlId ids[8] = {CONTROL_NOTE_1,    CONTROL_NOTE_2, CONTROL_NOTE_3,
                                      CONTROL_NOTE_4,    CONTROL_TRANSPOSE,
                                      CONTROL_DECAY,     CONTROL_LEVEL, CONTROL_DAMPING};
            for (int k = 0; k < 8; ++k) {
                if (chance(rng) < 5) continue;  // change some, keep the rest
                companion.control(ids[k]) = values[k];
                if (k < 4) four.control.note[k] = values[k];
                if (k == 4) four.control.transpose = values[k];
                if (k == 5) four.control.decay = values[k];
                if (k == 6) four.control.level = values[k];
                if (k == 7) four.control.damping = values[k];
            }
        }
        const uint32_t n = block(rng);
        const bool silent = chance(rng) < 3;  // let the tubes ring out at times
        for (uint32_t f = 0; f < n; ++f) {
            const float l = silent ? 0.0f : sample(rng) * 0.5f;
            const float r = stereo && !silent ? sample(rng) * 0.5f : 0.0f;
            companion.in_left[f] = l;
            companion.in_right[f] = r;
            // What the four-channel plug-in's tubes are fed in each routing.
            const float summed = stereo ? l + r : l;
            const bool by_side = stereo && s.split;
            four.in[0][f] = by_side ? l : summed;
            four.in[1][f] = by_side ? r : summed;
            four.in[2][f] = by_side ? l : summed;
            four.in[3][f] = by_side ? r : summed;
        }
        four.run(n);
        companion.run(n);
        for (uint32_t f = 0; f < n; ++f) {
            const float wet = centre_sum(four, f);
            const float dry_l = companion.in_left[f];
            const float dry_r = stereo ? companion.in_right[f] : dry_l;
            const float want_l = s.mix == 100.0f ? wet : dry_l + wet;
            const float want_r = s.mix == 100.0f ? wet : dry_r + wet;
            if (bits(companion.out_left[f]) != bits(want_l) ||
                bits(companion.out_right[f]) != bits(want_r)) {
                FAIL() << "block " << b << " frame " << f << ": " << companion.out_left[f] << " / "
                       << companion.out_right[f] << ", want " << want_l << " / " << want_r;
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 20000u);
}

}  // namespace

TEST(Companion, EqualsTheFourChannelPluginMixedOverRandomSessions)
{
    const Session sessions[] = {
        {PluginKind::MONO, false, 100.0f, 1},   {PluginKind::MONO, false, 100.0f, 2},
        {PluginKind::MONO, false, 50.0f, 3},    {PluginKind::STEREO, false, 100.0f, 4},
        {PluginKind::STEREO, true, 100.0f, 5},  {PluginKind::STEREO, true, 50.0f, 6},
        {PluginKind::STEREO, false, 50.0f, 7},
    };
    for (const Session& s : sessions) run_session(s);
}

// One key held gives the note and its next three octaves; it takes effect at
// the frame it was played, as the same notes set on the knobs before a run
// starting at that frame do.
TEST(Companion, AKeyActsAtItsOwnFrame)
{
    for (uint32_t at : {0u, 1u, 100u, 255u, 256u, 257u, 599u}) {
        SCOPED_TRACE(at);
        const uint32_t n = 600;
        CompanionHost played(PluginKind::MONO, 48000.0, n);
        CompanionHost knobs(PluginKind::MONO, 48000.0, n);
        for (CompanionHost* c : {&played, &knobs}) {
            c->control(CONTROL_TUNING) = 1.0f;
            c->control(CONTROL_MIX) = 100.0f;
            for (uint32_t f = 0; f < n; ++f) c->in_left[f] = (f % 97 == 0) ? 0.8f : 0.0f;
        }
        played.control(CONTROL_NOTES_FROM) = 1.0f;
        played.run(n);
        knobs.run(n);  // both warm up on the default chord
        played.queue_midi(at, 0x90, 48, 100);
        played.run(n);
        knobs.run(at);
        std::vector<float> want(knobs.out_left.begin(), knobs.out_left.begin() + at);
        const float chord[4] = {48.0f, 60.0f, 72.0f, 84.0f};
        for (int i = 0; i < 4; ++i) knobs.control(ControlId(CONTROL_NOTE_1 + i)) = chord[i];
        std::vector<float> rest(n - at);
        std::copy(knobs.in_left.begin() + at, knobs.in_left.begin() + n, rest.begin());
        std::copy(rest.begin(), rest.end(), knobs.in_left.begin());
        knobs.run(n - at);
        want.insert(want.end(), knobs.out_left.begin(), knobs.out_left.begin() + (n - at));
        for (uint32_t f = 0; f < n; ++f) {
            ASSERT_EQ(bits(played.out_left[f]), bits(want[f])) << "frame " << f;
        }
        for (int i = 0; i < TUBE_COUNT; ++i) {
            EXPECT_EQ(load_tube(*played.instance().bank, i).note, chord[i]);
        }
    }
}

// A value that is not a finite number leaves the last good one; others are
// clamped to the declared range. The four-channel plug-in is not asked to.
TEST(Companion, TakesAnyValueAHostSends)
{
    CompanionHost c(PluginKind::STEREO, 48000.0, 64);
    c.run(64);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        ControlId id;
        float sent;
        float taken;  // nan: the value before stays
    } cases[] = {
        {CONTROL_DECAY, 1e9f, 10000.0f},  {CONTROL_DECAY, -5.0f, 10.0f},
        {CONTROL_DECAY, nan, nan},        {CONTROL_DECAY, inf, nan},
        {CONTROL_DAMPING, 0.0f, 100.0f},  {CONTROL_DAMPING, -inf, nan},
        {CONTROL_LEVEL, 400.0f, 12.0f},   {CONTROL_NOTE_2, 200.0f, 84.0f},
        {CONTROL_NOTE_3, -1.0f, 24.0f},   {CONTROL_NOTE_3, nan, nan},
        {CONTROL_TRANSPOSE, 99.0f, 24.0f}, {CONTROL_MIX, 150.0f, 100.0f},
        {CONTROL_WIDTH, nan, nan},        {CONTROL_INPUT, 7.0f, 1.0f},
        {CONTROL_NOTES_FROM, -3.0f, 0.0f}, {CONTROL_TUNING, inf, nan},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << CONTROLS[k.id].symbol << " = " << k.sent);
        const float before = c.instance().controls.control[k.id].cache;
        c.control(k.id) = k.sent;
        c.run(64);
        const float now = c.instance().controls.control[k.id].cache;
        EXPECT_EQ(now, std::isnan(k.taken) ? before : k.taken);
        const Tube tube = load_tube(*c.instance().bank, 2);
        if (k.id == CONTROL_DECAY) {
            EXPECT_EQ(tube.decay, now);
        }
        if (k.id == CONTROL_DAMPING) {
            EXPECT_EQ(tube.damping_hz, now);
        }
        if (k.id == CONTROL_NOTE_3) {
            EXPECT_EQ(tube.note, now);
        }
        for (uint32_t f = 0; f < 64; ++f) {
            ASSERT_TRUE(std::isfinite(c.out_left[f]) && std::isfinite(c.out_right[f]));
        }
        c.control(k.id) = now;
    }
}

// A control port may be left unconnected, and connected again later, between
// runs: the control keeps its last value meanwhile, and the value of the port
// connected again is taken up at the next run, wherever it lies.
TEST(Companion, FollowsAControlPortDisconnectedAndConnectedAgain)
{
    CompanionHost c(PluginKind::MONO, 48000.0, 64);
    c.run(64);
    uint32_t port = 0;
    while (MONO_PORTS[port].kind != PortKind::CONTROL || MONO_PORTS[port].slot != CONTROL_DECAY) {
        ++port;
    }
    const float before = c.instance().controls.control[CONTROL_DECAY].cache;
    c.descriptor()->connect_port(c.handle(), port, nullptr);
    c.run(64);
    EXPECT_EQ(c.instance().controls.control[CONTROL_DECAY].cache, before);
    float elsewhere = 2500.0f;
    c.descriptor()->connect_port(c.handle(), port, &elsewhere);
    c.run(64);
    EXPECT_EQ(c.instance().controls.control[CONTROL_DECAY].cache, 2500.0f);
    EXPECT_EQ(load_tube(*c.instance().bank, 0).decay, 2500.0f);
}

// A host may hand the input buffers back as outputs, straight or crossed:
// the outputs are those of separate buffers.
TEST(Companion, RunsInPlace)
{
    for (PluginKind kind : {PluginKind::MONO, PluginKind::STEREO}) {
        for (bool crossed : {false, true}) {
            SCOPED_TRACE(testing::Message() << int(kind) << (crossed ? " crossed" : ""));
            const uint32_t n = 700;
            CompanionHost apart(kind, 48000.0, n), shared(kind, 48000.0, n);
            shared.connect_in_place(crossed);
            for (CompanionHost* c : {&apart, &shared}) {
                c->control(CONTROL_INPUT) = 1.0f;  // split: left and right differ
            }
            std::mt19937 rng(7);
            std::uniform_real_distribution<float> sample(-0.5f, 0.5f);
            for (int block = 0; block < 6; ++block) {
                for (uint32_t f = 0; f < n; ++f) {
                    apart.in_left[f] = shared.in_left[f] = sample(rng);
                    apart.in_right[f] = shared.in_right[f] = sample(rng);
                }
                apart.run(n);
                shared.run(n);
                // Mono: the right buffer is not an input, but still an output.
                const std::vector<float>& left = crossed ? shared.in_right : shared.in_left;
                const std::vector<float>& right = crossed ? shared.in_left : shared.in_right;
                for (uint32_t f = 0; f < n; ++f) {
                    ASSERT_EQ(bits(left[f]), bits(apart.out_left[f])) << block << " " << f;
                    ASSERT_EQ(bits(right[f]), bits(apart.out_right[f])) << block << " " << f;
                }
            }
        }
    }
}

TEST(Companion, RefusesToStartWithoutTheHostsUridMap)
{
    for (uint32_t index : {1u, 2u}) {
        const LV2_Descriptor* d = lv2_descriptor(index);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->instantiate(d, 48000.0, "/nonexistent/", nullptr), nullptr);
        const LV2_Feature other{"http://example.org/other", nullptr};
        const LV2_Feature* const features[] = {&other, nullptr};
        EXPECT_EQ(d->instantiate(d, 48000.0, "/nonexistent/", features), nullptr);
        LV2_Handle h = d->instantiate(d, 48000.0, "/nonexistent/", host_features());
        ASSERT_NE(h, nullptr);
        d->cleanup(h);
    }
    EXPECT_EQ(lv2_descriptor(3), nullptr);
    const LV2_Descriptor* four = lv2_descriptor(0);
    LV2_Handle h = four->instantiate(four, 48000.0, "/nonexistent/", nullptr);
    ASSERT_NE(h, nullptr) << "the four-channel plug-in needs no feature";
    four->cleanup(h);
}

// Width keeps every tube on the left output at every setting, at equal power.
TEST(Companion, EveryTubeReachesTheLeftOutputAtEveryWidth)
{
    for (float width = 0.0f; width <= 100.0f; width += 12.5f) {
        const OutputMix mix = output_mix(width, 100.0f);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            SCOPED_TRACE(testing::Message() << "width " << width << " tube " << i + 1);
            const double l = mix.tube_left[i], r = mix.tube_right[i];
            EXPECT_NEAR(l * l + r * r, 0.25, 1e-6);
            EXPECT_GE(l, 0.5 * 0.30);  // 60 % right at most
            if (width > 0.0f) {
                EXPECT_EQ(l > r, i % 2 == 0) << "1 and 3 left, 2 and 4 right";
            }
        }
    }
    const OutputMix insert = output_mix(50.0f, 50.0f);
    EXPECT_EQ(insert.dry, 1.0f);
    EXPECT_EQ(insert.wet, 1.0f);
}

// The output mix over blocks of every length, against each frame worked out on
// its own: the tubes at their left and right gains, tube 1 first, then the dry
// share. Odd widths and mixes give every gain a value of its own, so that a
// gain or a buffer taken for another shows. The outputs are written in place
// over the dry inputs, as a host may ask; with no dry share the input is
// never read, so a non-finite input cannot reach the output.
TEST(Companion, MixesEveryFrameAsOnItsOwn)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::uniform_real_distribution<float> percent(0.0f, 100.0f);
    const uint32_t longest = 37;
    for (int round = 0; round < 200; ++round) {
        const float width = percent(rng);
        const float mix_percent = round % 5 == 0 ? 100.0f : percent(rng);
        const OutputMix mix = output_mix(width, mix_percent);
        const uint32_t frames = round % (longest + 1);
        std::vector<float> tube[TUBE_COUNT];
        for (auto& t : tube) {
            t.resize(longest);
            for (float& s : t) s = sample(rng);
        }
        std::vector<float> left(longest), right(longest);
        for (uint32_t f = 0; f < longest; ++f) {
            left[f] = mix.dry == 0.0f && f % 3 == 0 ? std::numeric_limits<float>::infinity()
                                                    : sample(rng);
            right[f] = mix.dry == 0.0f && f % 3 == 1 ? std::numeric_limits<float>::quiet_NaN()
                                                     : sample(rng);
        }
        const std::vector<float> dry_left = left, dry_right = right;
        const float* const tubes[TUBE_COUNT] = {tube[0].data(), tube[1].data(), tube[2].data(),
                                                tube[3].data()};
        mix_frames(mix, left.data(), right.data(), tubes, left.data(), right.data(), frames);
        for (uint32_t f = 0; f < longest; ++f) {
            SCOPED_TRACE(testing::Message() << "width " << width << " mix " << mix_percent
                                            << " frames " << frames << " frame " << f);
            if (f >= frames) {  // past the block: untouched
                ASSERT_EQ(bits(left[f]), bits(dry_left[f]));
                ASSERT_EQ(bits(right[f]), bits(dry_right[f]));
                continue;
            }
            float wet_left = mix.tube_left[0] * tube[0][f];
            float wet_right = mix.tube_right[0] * tube[0][f];
            for (int i = 1; i < TUBE_COUNT; ++i) {
                wet_left = wet_left + mix.tube_left[i] * tube[i][f];
                wet_right = wet_right + mix.tube_right[i] * tube[i][f];
            }
            const float want_left = mix.dry == 0.0f ? mix.wet * wet_left
                                                    : mix.dry * dry_left[f] + mix.wet * wet_left;
            const float want_right = mix.dry == 0.0f
                                         ? mix.wet * wet_right
                                         : mix.dry * dry_right[f] + mix.wet * wet_right;
            ASSERT_EQ(bits(left[f]), bits(want_left));
            ASSERT_EQ(bits(right[f]), bits(want_right));
        }
    }
}
