#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug_log.h"
#include "loaded_plugin.h"
#include "support/plugin_harness.h"

// What the plug-in does with each kind of bad input a host or a project file
// can hand it. docs/robustness.md lists the same rows; each is checked here.

namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float HUGE_VALUE = 3e38f;
constexpr uint32_t BLOCK = 480;

bool same_bits(const float* a, const float* b, size_t count)
{
    return std::memcmp(a, b, count * sizeof(float)) == 0;
}

bool all_finite(const float* data, size_t count)
{
    return std::all_of(data, data + count, [](float x) { return std::isfinite(x); });
}

void feed_noise(PluginHarness& host, int block)
{
    for (int i = 0; i < TUBE_COUNT; ++i) {
        fill_noise_bursts(host.in[i].data(), BLOCK, BLOCK, block % 20 == 0 ? BLOCK : 0,
                          static_cast<uint32_t>(block * 4 + i));
    }
}

// ---------------------------------------------------------------- sample rate

struct RateCase {
    const char* name;
    double rate;
    uint64_t first_request;  // what tube 1 (note 60) glides to first
    float feedback;          // after that glide arrives (NaN: a NaN)
    bool finite_output;
};

// Derived from the formulas: the length is (rate * 4/440) * 2^(9/12) rounded
// and clamped to [121, 5999] (a NaN, negative or zero product gives 121), the
// feedback 0.001 ^ (L / (decay_time * rate * 0.001)) clamped to +-0.99999.
const RateCase RATE_CASES[] = {
    // 0 Hz: the exponent is L / 0 = +inf, so the loop has no feedback at all.
    {"Zero", 0.0, 121, 0.0f, true},
    // -0 Hz: L / -0 = -inf, 0.001 ^ -inf = inf, clamped.
    {"NegativeZero", -0.0, 121, 0.99999f, true},
    {"Negative", -48000.0, 121, 0.99999f, true},
    {"NaN", static_cast<double>(NaN), 121, NaN, false},
    // An infinite product asks for the longest delay; L / inf = 0 gives 1.
    {"Infinite", static_cast<double>(INF), 5999, 0.99999f, true},
    {"MinusInfinite", -static_cast<double>(INF), 121, 0.99999f, true},
    {"BeyondFloatRange", 1e300, 5999, 0.99999f, true},
    {"BelowFloatRange", 1e-300, 121, 0.0f, true},
    {"OneHertz", 1.0, 121, 0.0f, true},
    {"NotQuite48k", 48000.001, 734, 0.767914f, true},
};

class SampleRate : public testing::TestWithParam<RateCase> {};

TEST_P(SampleRate, TubesStayInsideTheirBoundsWhateverTheRate)
{
    const RateCase& c = GetParam();
    PluginHarness host(c.rate, BLOCK);
    bool finite = true;
    for (int block = 0; block < 40; ++block) {  // 19200 frames: the first glide ends
        feed_noise(host, block);
        host.run(BLOCK);
        if (block == 0) {
            EXPECT_EQ(host.tube(0).glide_target, c.first_request);
        }
        for (int i = 0; i < TUBE_COUNT; ++i) {
            finite = finite && all_finite(host.out[i].data(), BLOCK);
        }
    }
    const Tube tube = host.tube(0);
    EXPECT_FALSE(tube.gliding);
    EXPECT_EQ(tube.length, c.first_request);
    if (std::isnan(c.feedback)) {
        EXPECT_TRUE(std::isnan(tube.feedback));
    } else {
        EXPECT_NEAR(tube.feedback, c.feedback, 1e-6f);
    }
    EXPECT_EQ(finite, c.finite_output);
}

INSTANTIATE_TEST_SUITE_P(BadInput, SampleRate, testing::ValuesIn(RATE_CASES),
                         [](const testing::TestParamInfo<RateCase>& info) {
                             return std::string(info.param.name);
                         });

// --------------------------------------------------------------- control values

enum class Outcome {
    Finite,          // every output finite, before, while and after
    Silent,          // every output exactly zero while the value is set
    NonFiniteWhile,  // outputs infinite or NaN while set, finite again after
    NaNForGood,      // the loop holds a NaN: NaN output even after the value goes
};

struct ControlCase {
    const char* name;
    uint32_t port;
    float value;
    Outcome outcome;
};

const ControlCase CONTROL_CASES[] = {
    // Notes and transpose only choose a length, which is clamped to
    // [121, 5999] whatever they are; a NaN gives 121.
    {"NoteNaN", PORT_NOTE_1, NaN, Outcome::Finite},
    {"NoteInfinite", PORT_NOTE_1, INF, Outcome::Finite},
    {"NoteMinusInfinite", PORT_NOTE_1, -INF, Outcome::Finite},
    {"NoteHuge", PORT_NOTE_1, HUGE_VALUE, Outcome::Finite},
    {"NoteNegative", PORT_NOTE_1, -1.0f, Outcome::Finite},
    {"NoteFractional", PORT_NOTE_1, 60.5f, Outcome::Finite},
    {"NoteAboveRange", PORT_NOTE_1, 128.0f, Outcome::Finite},
    {"TransposeNaN", PORT_TRANSPOSE, NaN, Outcome::Finite},
    {"TransposeInfinite", PORT_TRANSPOSE, INF, Outcome::Finite},
    {"TransposeMinusHuge", PORT_TRANSPOSE, -HUGE_VALUE, Outcome::Finite},
    {"TransposeBeyondRange", PORT_TRANSPOSE, -49.0f, Outcome::Finite},
    // Decay: the feedback is clamped to +-0.99999 whatever the decay, but a
    // NaN passes the clamp and, once in the loop, stays there.
    {"DecayNaN", PORT_DECAY, NaN, Outcome::NaNForGood},
    {"DecayInfinite", PORT_DECAY, INF, Outcome::Finite},
    {"DecayMinusInfinite", PORT_DECAY, -INF, Outcome::Finite},
    {"DecayHuge", PORT_DECAY, HUGE_VALUE, Outcome::Finite},
    {"DecayNegative", PORT_DECAY, -1.0f, Outcome::Finite},
    {"DecayZero", PORT_DECAY, 0.0f, Outcome::Finite},
    {"DecayNegativeZero", PORT_DECAY, -0.0f, Outcome::Finite},
    {"DecayTiny", PORT_DECAY, 1e-30f, Outcome::Finite},
    {"DecayAboveRange", PORT_DECAY, 20000.0f, Outcome::Finite},
    // Level: -120 dB and below, and NaN, are silence; a gain beyond the float
    // range (above about 770.6 dB) makes every output infinite or NaN.
    {"LevelNaN", PORT_LEVEL, NaN, Outcome::Silent},
    {"LevelMinusInfinite", PORT_LEVEL, -INF, Outcome::Silent},
    {"LevelMinusHuge", PORT_LEVEL, -HUGE_VALUE, Outcome::Silent},
    {"LevelBelowRange", PORT_LEVEL, -200.0f, Outcome::Silent},
    {"LevelAboveRange", PORT_LEVEL, 13.0f, Outcome::Finite},
    {"Level770dB", PORT_LEVEL, 770.0f, Outcome::Finite},
    {"Level771dB", PORT_LEVEL, 771.0f, Outcome::NonFiniteWhile},
    {"LevelInfinite", PORT_LEVEL, INF, Outcome::NonFiniteWhile},
    {"LevelHuge", PORT_LEVEL, HUGE_VALUE, Outcome::NonFiniteWhile},
    // Damping: exp(-f * 2pi/48000) is the low-pass pole. A negative frequency
    // makes it greater than 1: the loop grows until it overflows.
    {"DampingNaN", PORT_DAMPING, NaN, Outcome::NaNForGood},
    {"DampingInfinite", PORT_DAMPING, INF, Outcome::Finite},
    {"DampingHuge", PORT_DAMPING, HUGE_VALUE, Outcome::Finite},
    {"DampingAboveRange", PORT_DAMPING, 24000.0f, Outcome::Finite},
    {"DampingZero", PORT_DAMPING, 0.0f, Outcome::Finite},
    {"DampingNegativeZero", PORT_DAMPING, -0.0f, Outcome::Finite},
    {"DampingTiny", PORT_DAMPING, 1e-30f, Outcome::Finite},
    {"DampingNegative", PORT_DAMPING, -1000.0f, Outcome::NaNForGood},
    {"DampingMinusInfinite", PORT_DAMPING, -INF, Outcome::NaNForGood},
    {"DampingMinusHuge", PORT_DAMPING, -HUGE_VALUE, Outcome::NaNForGood},
};

float& control_of(PluginHarness& host, uint32_t port)
{
    switch (port) {
    case PORT_TRANSPOSE:
        return host.control.transpose;
    case PORT_DECAY:
        return host.control.decay;
    case PORT_LEVEL:
        return host.control.level;
    case PORT_DAMPING:
        return host.control.damping;
    default:
        return host.control.note[port - PORT_NOTE_1];
    }
}

struct Phase {
    bool finite = true;
    bool silent = true;
    bool ends_nan = false;  // the last block of tube 1 is all NaN
};

Phase play_phase(PluginHarness& host, int first_block, int blocks)
{
    Phase phase;
    for (int block = first_block; block < first_block + blocks; ++block) {
        feed_noise(host, block);
        host.run(BLOCK);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            const float* out = host.out[i].data();
            phase.finite = phase.finite && all_finite(out, BLOCK);
            phase.silent =
                phase.silent && std::all_of(out, out + BLOCK, [](float x) { return x == 0.0f; });
        }
    }
    const float* tube1 = host.out[0].data();
    phase.ends_nan = std::all_of(tube1, tube1 + BLOCK, [](float x) { return std::isnan(x); });
    return phase;
}

class ControlValue : public testing::TestWithParam<ControlCase> {};

TEST_P(ControlValue, OutcomeAsListed)
{
    const ControlCase& c = GetParam();
    PluginHarness host(48000.0, BLOCK);
    // Half a second with the defaults (the first glides arrive), two seconds
    // with the bad value, one second with the default back.
    const Phase before = play_phase(host, 0, 50);
    float& control = control_of(host, c.port);
    const float usual = control;
    control = c.value;
    const Phase set = play_phase(host, 50, 200);
    control = usual;
    const Phase after = play_phase(host, 250, 100);

    EXPECT_TRUE(before.finite);
    switch (c.outcome) {
    case Outcome::Finite:
        EXPECT_TRUE(set.finite);
        EXPECT_TRUE(after.finite);
        break;
    case Outcome::Silent:
        EXPECT_TRUE(set.silent);
        EXPECT_TRUE(after.finite);
        break;
    case Outcome::NonFiniteWhile:
        EXPECT_FALSE(set.finite);
        EXPECT_TRUE(after.finite);
        break;
    case Outcome::NaNForGood:
        EXPECT_FALSE(set.finite);
        EXPECT_TRUE(after.ends_nan);
        break;
    }
    // Whatever the value, the tube's own bounds hold.
    for (int i = 0; i < TUBE_COUNT; ++i) {
        const Tube tube = host.tube(i);
        EXPECT_TRUE(std::isnan(tube.feedback) || std::fabs(tube.feedback) <= FEEDBACK_LIMIT);
        EXPECT_TRUE(tube.pending_length == 0 ||
                    (tube.pending_length >= MIN_LENGTH && tube.pending_length <= MAX_LENGTH));
    }
}

INSTANTIATE_TEST_SUITE_P(BadInput, ControlValue, testing::ValuesIn(CONTROL_CASES),
                         [](const testing::TestParamInfo<ControlCase>& info) {
                             return std::string(info.param.name);
                         });

// A NaN feedback from controls that are not NaN themselves: an infinite
// factor of the feedback divisor meets a zero one.
TEST(ControlValue, InfiniteDecayAtZeroRateGivesNaNFeedback)
{
    PluginHarness host(0.0, BLOCK);
    host.control.decay = INF;
    host.run(BLOCK);
    EXPECT_TRUE(std::isnan(host.tube(0).feedback));
}

// ------------------------------------------------------------------ port indices

TEST(PortIndex, SixteenAndBeyondChangeNothing)
{
    PluginHarness host(48000.0, BLOCK);
    PluginInstance before;
    std::memcpy(&before, &host.instance(), sizeof before);
    int junk = 0;
    for (uint32_t port : {16u, 17u, 255u, 256u, 65536u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        host.descriptor->connect_port(host.handle, port, nullptr);
        host.descriptor->connect_port(host.handle, port, &junk);
        host.descriptor->connect_port(host.handle, port, reinterpret_cast<void*>(uintptr_t{1}));
    }
    EXPECT_EQ(std::memcmp(&before, &host.instance(), sizeof before), 0);
    host.run(BLOCK);  // and the instance still runs with what it had
}

// ------------------------------------------------------------- unconnected ports

class UnconnectedPort : public testing::TestWithParam<uint32_t> {};

// The LV2 rules oblige the host to connect every port before run; nothing
// checks, so a null port is read or written and the process dies.
TEST_P(UnconnectedPort, RunDereferencesTheNullPort)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const uint32_t port = GetParam();
    EXPECT_DEATH(
        {
            PluginHarness host(48000.0, BLOCK);
            host.descriptor->connect_port(host.handle, port, nullptr);
            host.run(16);
        },
        "");
}

INSTANTIATE_TEST_SUITE_P(BadInput, UnconnectedPort, testing::Range(0u, uint32_t{PORT_COUNT}));

// With no frames to process the audio buffers are never touched, so only an
// unconnected control port matters then.
TEST(UnconnectedPort, ZeroFramesTouchNoAudioBuffer)
{
    PluginHarness host(48000.0, BLOCK);
    for (uint32_t port = PORT_IN_1; port <= PORT_OUT_4; ++port) {
        host.descriptor->connect_port(host.handle, port, nullptr);
    }
    host.run(0);
    SUCCEED();
}

// ------------------------------------------------------------------- aliasing

struct AliasCase {
    std::array<int, TUBE_COUNT> input_buffer;   // which host buffer each input reads
    std::array<int, TUBE_COUNT> output_buffer;  // which host buffer each output writes
};

std::vector<AliasCase> alias_cases()
{
    std::vector<AliasCase> cases;
    std::array<int, TUBE_COUNT> order = {0, 1, 2, 3};
    do {  // every pairing of outputs with inputs, in place
        cases.push_back({{0, 1, 2, 3}, order});
    } while (std::next_permutation(order.begin(), order.end()));
    cases.push_back({{0, 0, 0, 0}, {0, 1, 2, 3}});  // one buffer read by all, written by tube 1
    cases.push_back({{0, 0, 0, 0}, {4, 5, 6, 0}});  // ... written by tube 4 last
    cases.push_back({{1, 1, 2, 2}, {1, 2, 0, 3}});
    cases.push_back({{3, 2, 1, 0}, {0, 1, 2, 3}});
    return cases;
}

class InPlace : public testing::TestWithParam<AliasCase> {};

TEST_P(InPlace, OutputEqualsSeparateBuffers)
{
    const AliasCase& c = GetParam();
    constexpr uint32_t FRAMES = 1000;  // not a multiple of the 16-frame block
    PluginHarness shared(48000.0, FRAMES);
    PluginHarness separate(48000.0, FRAMES);
    std::array<std::vector<float>, 7> buffers;
    for (auto& buffer : buffers) {
        buffer.resize(FRAMES);
    }
    for (int i = 0; i < TUBE_COUNT; ++i) {
        shared.descriptor->connect_port(shared.handle, PORT_IN_1 + i,
                                        buffers[c.input_buffer[i]].data());
        shared.descriptor->connect_port(shared.handle, PORT_OUT_1 + i,
                                        buffers[c.output_buffer[i]].data());
    }
    for (int round = 0; round < 12; ++round) {
        for (int b = 0; b < 4; ++b) {
            fill_noise_bursts(buffers[b].data(), FRAMES, 700, 300,
                              static_cast<uint32_t>(round * 8 + b));
        }
        for (int i = 0; i < TUBE_COUNT; ++i) {
            separate.in[i] = buffers[c.input_buffer[i]];
        }
        shared.run(FRAMES);
        separate.run(FRAMES);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            ASSERT_TRUE(
                same_bits(buffers[c.output_buffer[i]].data(), separate.out[i].data(), FRAMES))
                << "tube " << i + 1 << ", round " << round;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BadInput, InPlace, testing::ValuesIn(alias_cases()));

// ----------------------------------------------------------------- input audio

enum class Heard {
    Unchanged,   // bit for bit the output of silence in place of the input
    Finite,      // finite and within the level
    NaNForGood,  // this tube's output is NaN from then on
};

struct InputCase {
    const char* name;
    float value;  // written into one block of tube 2's input
    bool every_sample;
    Heard heard;
};

const InputCase INPUT_CASES[] = {
    {"OneNaN", NaN, false, Heard::NaNForGood},
    {"OneInfinity", INF, false, Heard::NaNForGood},
    {"OneMinusInfinity", -INF, false, Heard::NaNForGood},
    {"OneLargestFloat", std::numeric_limits<float>::max(), false, Heard::NaNForGood},
    {"Loud", 1e4f, true, Heard::Finite},
    {"Huge", 1e30f, true, Heard::Finite},
    // Subnormal input is read as zero (denormals-are-zero during run).
    {"Subnormal", 1e-40f, true, Heard::Unchanged},
    {"SmallestSubnormal", -std::numeric_limits<float>::denorm_min(), true, Heard::Unchanged},
};

class InputAudio : public testing::TestWithParam<InputCase> {};

TEST_P(InputAudio, OnlyTheTubeThatGetsItIsAffected)
{
    const InputCase& c = GetParam();
    PluginHarness bad(48000.0, BLOCK);
    PluginHarness clean(48000.0, BLOCK);
    bool tube2_finite = true;
    bool tube2_unchanged = true;
    bool tube2_within_level = true;
    for (int block = 0; block < 100; ++block) {
        feed_noise(bad, block);
        feed_noise(clean, block);
        if (block == 30) {
            std::fill(clean.in[1].begin(), clean.in[1].end(), 0.0f);
            std::fill(bad.in[1].begin(), bad.in[1].end(), 0.0f);
            if (c.every_sample) {
                std::fill(bad.in[1].begin(), bad.in[1].end(), c.value);
            } else {
                bad.in[1][100] = c.value;
            }
        }
        bad.run(BLOCK);
        clean.run(BLOCK);
        for (int i : {0, 2, 3}) {
            ASSERT_TRUE(same_bits(bad.out[i].data(), clean.out[i].data(), BLOCK))
                << "tube " << i + 1 << " was affected";
        }
        const float* out = bad.out[1].data();
        tube2_finite = tube2_finite && all_finite(out, BLOCK);
        tube2_unchanged = tube2_unchanged && same_bits(out, clean.out[1].data(), BLOCK);
        tube2_within_level = tube2_within_level && std::all_of(out, out + BLOCK, [](float x) {
                                 return std::fabs(x) <= 1.0f;
                             });
    }
    switch (c.heard) {
    case Heard::Unchanged:
        EXPECT_TRUE(tube2_unchanged);
        break;
    case Heard::Finite:
        EXPECT_TRUE(tube2_finite);
        EXPECT_TRUE(tube2_within_level);
        break;
    case Heard::NaNForGood:
        EXPECT_FALSE(tube2_finite);
        EXPECT_TRUE(std::all_of(bad.out[1].begin(), bad.out[1].end(),
                                [](float x) { return std::isnan(x); }));
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(BadInput, InputAudio, testing::ValuesIn(INPUT_CASES),
                         [](const testing::TestParamInfo<InputCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
