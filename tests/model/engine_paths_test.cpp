// The engine's paths side by side: the tube-by-tube engine and every lockstep
// build this processor can run are given the same long random sessions, and
// every output sample, every field of every tube after every run, and every
// log line must agree bit for bit.
//
// Each path drives an instance made by the plug-in's own instantiate and runs
// the same steps as run (the control step, then the frames, in the plug-in's
// floating-point mode), with the path chosen by the test.
//
// OSTREVAN_DIFF_FRAMES sets the frames per session (default 120000), so that
// the emulated processors of the cross stages can run a shorter session.

#include <gtest/gtest.h>
#include <lv2/core/lv2.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "diag/debug_log.h"
#include "engine/engine_path.h"
#include "engine/tube_bank.h"
#include "plugin/controls.h"
#include "plugin/fp_mode.h"
#include "plugin/instance.h"
#include "plugin/lifecycle.h"
#include "plugin/ports.h"
#include "side_by_side.h"
#include "support/plugin_harness.h"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace {

using model::bits;
using model::from_bits;
using model::INF;
using model::NaN;
constexpr uint32_t MAX_BLOCK = 8192;
constexpr uint32_t POOL = 8;      // buffers a session's ports are drawn from
constexpr uint32_t GUARD = 16;    // frames past every run that must stay untouched

uint32_t session_frames()
{
    const char* text = std::getenv("OSTREVAN_DIFF_FRAMES");
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 120000;
}

// Each path: the name the build's OSTREVAN_ENGINE option gives it, and what
// the messages call it.
struct NamedPath {
    EnginePath path;
    const char* option;
    const char* name;
};
const NamedPath NAMED_PATHS[] = {
    {EnginePath::TUBE_BY_TUBE, "TUBE_BY_TUBE", "tube by tube"},
    {EnginePath::LOCKSTEP_EXACT, "LOCKSTEP_EXACT", "lockstep, exact software fma"},
    {EnginePath::LOCKSTEP_FMA, "LOCKSTEP_FMA", "lockstep, hardware fma"},
    {EnginePath::LOCKSTEP_NEON, "LOCKSTEP_NEON", "lockstep on NEON"},
    {EnginePath::LOCKSTEP_EXACT_AVX, "LOCKSTEP_EXACT_AVX", "lockstep, exact software fma, AVX"},
};

const char* path_name(EnginePath path)
{
    for (const NamedPath& named : NAMED_PATHS) {
        if (named.path == path) return named.name;
    }
    return "?";
}

// Appended log text since the last call.
class LogTail {
public:
    std::string take()
    {
        std::ifstream file(LOG_PATH, std::ios::binary);
        if (!file) {
            return {};
        }
        file.seekg(static_cast<std::streamoff>(offset_));
        std::stringstream text;
        text << file.rdbuf();
        offset_ += text.str().size();
        return text.str();
    }

private:
    size_t offset_ = 0;
};

// One instance on one path, with its own buffers and control values.
struct Lane {
    EnginePath path;
    LV2_Handle handle = nullptr;
    std::vector<float> pool[POOL];
    float controls[8] = {};  // note_1..note_4, transpose, decay, level, damping

    PluginInstance& instance() { return *static_cast<PluginInstance*>(handle); }

    // The tuning of every tube, set as a shell sets it: between runs.
    void set_tuning_of_all(float tuning)
    {
        const FlushToZeroScope mode;
        for (int i = 0; i < TUBE_COUNT; ++i) {
            set_tube(*instance().bank, i, set_tuning, tuning);
        }
    }

    // A new instance on `path` at `rate`, its pool buffers of `length`
    // samples, its audio ports on them as `in` and `out` say, its controls
    // at the defaults, activated.
    void open(EnginePath on, double rate, size_t length, const int (&in)[4], const int (&out)[4])
    {
        const LV2_Descriptor* d = lv2_descriptor(0);
        path = on;
        handle = d->instantiate(d, rate, "", nullptr);
        ASSERT_NE(handle, nullptr);
        for (auto& buffer : pool) buffer.assign(length, 0.0f);
        for (uint32_t i = 0; i < 4; ++i) {
            d->connect_port(handle, PORT_IN_1 + i, pool[in[i]].data());
            d->connect_port(handle, PORT_OUT_1 + i, pool[out[i]].data());
        }
        for (uint32_t c = 0; c < 8; ++c) {
            d->connect_port(handle, PORT_NOTE_1 + c, &controls[c]);
        }
        const float defaults[8] = {60.0f, 64.0f, 67.0f, 72.0f, 0.0f, 100.0f, 0.0f, 12000.0f};
        std::memcpy(controls, defaults, sizeof defaults);
        d->activate(handle);
    }

    // What run does, on this lane's path.
    void run(uint32_t frames)
    {
        const FlushToZeroScope mode;
        PluginInstance& in = instance();
        apply_controls(*in.bank, in.controls);
        process_frames_on(path, *in.bank, in.input, in.output, frames);
    }
};

// The layout of one session: which pool buffer each audio port gets. Any
// input buffer may also be any output buffer.
struct Layout {
    int in[4];
    int out[4];
};

Layout random_layout(std::mt19937& rng)
{
    Layout layout = {{0, 1, 2, 3}, {4, 5, 6, 7}};
    switch (rng() % 4) {
    case 0:  // separate buffers
        break;
    case 1:  // every tube in place
        for (int i = 0; i < 4; ++i) layout.out[i] = layout.in[i];
        break;
    default:  // anything goes: shared inputs, outputs over other tubes' inputs
        for (int i = 0; i < 4; ++i) {
            layout.in[i] = static_cast<int>(rng() % POOL);
            layout.out[i] = static_cast<int>(rng() % POOL);
        }
        break;
    }
    return layout;
}

float random_sample(std::mt19937& rng, bool burst, bool hostile)
{
    std::uniform_real_distribution<float> noise(-0.6f, 0.6f);
    if (hostile && rng() % 4000 == 0) {
        static const uint32_t specials[] = {0x7F800000, 0xFF800000, 0x7FC12345, 0xFFA00001,
                                            0x00000001, 0x807FFFFF, 0x7F7FFFFF, 0x7E61E5A5};
        return from_bits(specials[rng() % 8]);
    }
    return burst ? noise(rng) : 0.0f;
}

// Control values users set, and some no user can but a host may pass on.
float random_control(std::mt19937& rng, int control, bool hostile)
{
    if (hostile && rng() % 12 == 0) {
        const float odd[] = {NaN, INF, -INF, 0.0f, -0.0f, -5.0f, 1e30f, 3.0e-39f};
        return odd[rng() % 8];
    }
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    switch (control) {
    case 4:  // transpose, now and then fractional
        return rng() % 5 == 0 ? unit(rng) * 48.0f - 24.0f : std::round(unit(rng) * 48.0f - 24.0f);
    case 5:  // decay, logarithmic from 10 ms to 10 s
        return 10.0f * std::pow(1000.0f, unit(rng));
    case 6:  // level
        return unit(rng) * 72.0f - 60.0f;
    case 7:  // damping
        return 100.0f * std::pow(200.0f, unit(rng));
    default:  // notes; sometimes half-way between two
        return rng() % 7 == 0 ? std::round(unit(rng) * 60.0f + 24.0f) + 0.5f
                              : std::round(unit(rng) * 70.0f + 20.0f);
    }
}

uint32_t random_block(std::mt19937& rng)
{
    const uint32_t sizes[] = {0, 1, 2, 3, 15, 16, 17, 31, 64, 100, 256, 257, 1000, 4096, 8192};
    return sizes[rng() % (sizeof sizes / sizeof sizes[0])];
}

// A tube's record with every NaN made the one NaN, where the processor's
// choice among NaNs is not modelled (model::nan_payloads_modelled).
Tube comparable(const TubeBank& bank, int tube)
{
    Tube t = load_tube(bank, tube);
    if (model::nan_payloads_modelled()) return t;
    const auto one = [](float& x) { x = x != x ? NaN : x; };
#define ONE_NAN_REAL(name) one(t.name);
#define ONE_NAN_COUNT(name)
#define ONE_NAN_FLAG(name)
#define ONE_NAN_MEMO(name) \
    for (float& x : t.name.distance) one(x);
#define ONE_NAN(kind, name) ONE_NAN_##kind(name)
    TUBE_FIELDS(ONE_NAN)
#undef ONE_NAN
#undef ONE_NAN_MEMO
#undef ONE_NAN_FLAG
#undef ONE_NAN_COUNT
#undef ONE_NAN_REAL
    return t;
}

// First difference between two tubes' records and lines, or empty.
std::string compare_banks(const TubeBank& want, const TubeBank& got)
{
    for (int i = 0; i < TUBE_COUNT; ++i) {
        const Tube a = comparable(want, i);
        const Tube b = comparable(got, i);
        if (std::memcmp(&a, &b, sizeof a) != 0) {
            const auto* x = reinterpret_cast<const unsigned char*>(&a);
            const auto* y = reinterpret_cast<const unsigned char*>(&b);
            size_t at = 0;
            while (x[at] == y[at]) ++at;
            return "tube " + std::to_string(i + 1) + ": record differs at byte " +
                   std::to_string(at);
        }
        for (size_t at = 0; at < DELAY_SLOTS; ++at) {
            if (!model::same_sample(want.delay[i][at], got.delay[i][at])) {
                return "tube " + std::to_string(i + 1) + ": delay slot " + std::to_string(at) +
                       " differs";
            }
        }
    }
    return {};
}

struct Session {
    uint32_t seed;
    double rate;
    bool hostile;
    float first_note = 60.0f;  // of tube 1
    // The tubes' tuning after instantiate; in_tune sessions also switch it
    // now and then, as the companions' tuning control does.
    bool in_tune = false;
};

void PrintTo(const Session& s, std::ostream* os)
{
    *os << "seed " << s.seed << " at " << s.rate << " Hz" << (s.hostile ? ", hostile" : "")
        << (s.in_tune ? ", in tune" : "");
}

class EnginePaths : public ::testing::TestWithParam<Session> {};

TEST_P(EnginePaths, AgreeBitForBit)
{
    const Session session = GetParam();
    std::vector<EnginePath> paths;
    for (EnginePath path : ENGINE_PATHS) {
        if (engine_path_available(path)) paths.push_back(path);
    }
    if (paths.size() < 2) {
        GTEST_SKIP() << "this processor has only the tube-by-tube engine";
    }

    LogFileGuard log_file;
    log_file.create("1");
    LogTail log;
    log.take();  // the level the file starts with
    const LV2_Descriptor* d = lv2_descriptor(0);
    std::mt19937 rng(session.seed);
    const Layout layout = random_layout(rng);

    std::vector<Lane> lanes(paths.size());
    std::vector<std::string> log_of(paths.size());
    for (size_t p = 0; p < paths.size(); ++p) {
        Lane& lane = lanes[p];
        lane.open(paths[p], session.rate, MAX_BLOCK + GUARD, layout.in, layout.out);
        log_of[p] = log.take();
        lane.controls[0] = session.first_note;
        if (session.in_tune) lane.set_tuning_of_all(TUNING_IN_TUNE);
    }
    for (size_t p = 1; p < paths.size(); ++p) {
        ASSERT_EQ(log_of[p], log_of[0]) << "instantiate";
    }

    const uint32_t total = session_frames();
    uint64_t frame = 0;
    int run_count = 0;
    int landed = 0;  // runs that end with a tube at rest on a fractional length
    uint32_t burst_left = 0;
    while (frame < total) {
        // Controls move every few runs: note changes arrive during glides, a
        // transpose and a note cancel out, a decay flips the loop.
        if (rng() % 3 == 0) {
            const int changes = 1 + static_cast<int>(rng() % 3);
            for (int n = 0; n < changes; ++n) {
                const int c = static_cast<int>(rng() % 8);
                const float value = random_control(rng, c, session.hostile);
                for (Lane& lane : lanes) lane.controls[c] = value;
            }
        }
        if (session.in_tune && rng() % 40 == 0) {
            const float tuning = rng() % 3 == 0 ? TUNING_WHOLE_STEPS : TUNING_IN_TUNE;
            for (Lane& lane : lanes) lane.set_tuning_of_all(tuning);
        }
        const uint32_t frames = random_block(rng);
        // The same input in every lane's buffers; every other sample of the
        // pool is a marker that must come back only where a run wrote.
        std::vector<float> fill(MAX_BLOCK + GUARD);
        for (uint32_t b = 0; b < POOL; ++b) {
            for (float& s : fill) {
                if (burst_left == 0 && rng() % 6000 == 0) burst_left = 300;
                s = random_sample(rng, burst_left > 0, session.hostile);
                burst_left -= burst_left > 0;
            }
            for (Lane& lane : lanes) lane.pool[b] = fill;
        }

        for (size_t p = 0; p < lanes.size(); ++p) {
            lanes[p].run(frames);
            log_of[p] = log.take();
        }
        ++run_count;

        for (size_t p = 1; p < lanes.size(); ++p) {
            const std::string where = std::string(path_name(paths[p])) + ", run " +
                                      std::to_string(run_count) + " of " +
                                      std::to_string(frames) + " frames at frame " +
                                      std::to_string(frame);
            for (uint32_t b = 0; b < POOL; ++b) {
                // Compared as bits: -0 and +0 are equal floats, NaNs never.
                if (std::memcmp(lanes[p].pool[b].data(), lanes[0].pool[b].data(),
                                (MAX_BLOCK + GUARD) * sizeof(float)) == 0) {
                    continue;
                }
                for (uint32_t s = 0; s < MAX_BLOCK + GUARD; ++s) {
                    const float want = lanes[0].pool[b][s];
                    const float got = lanes[p].pool[b][s];
                    if (!model::same_sample(want, got)) {
                        FAIL() << where << ": buffer " << b << " sample " << s << ": 0x"
                               << std::hex << bits(got) << " where the tube-by-tube engine gives 0x"
                               << bits(want);
                    }
                }
            }
            const std::string state =
                compare_banks(*lanes[0].instance().bank, *lanes[p].instance().bank);
            ASSERT_EQ(state, "") << where;
            ASSERT_EQ(log_of[p], log_of[0]) << where;
        }
        for (int i = 0; i < TUBE_COUNT; ++i) {
            const TubeBank& bank = *lanes[0].instance().bank;
            landed += !bank.gliding[i] && bank.glide_distance[i] > 0.0f &&
                      bank.tuning[i] == TUNING_IN_TUNE;
        }
        frame += frames;
    }
    if (session.in_tune) {
        EXPECT_GT(landed, 0) << "no glide in tune came to rest";
    }
    for (Lane& lane : lanes) {
        d->deactivate(lane.handle);
        d->cleanup(lane.handle);
    }
}

std::vector<Session> sessions()
{
    const double rates[] = {48000.0, 44100.0, 96000.0, 22050.5, 8000.0, 192000.0, 48000.0, 44100.0};
    std::vector<Session> all;
    for (uint32_t n = 0; n < 8; ++n) {
        all.push_back({1000 + n, rates[n], n % 2 == 1});
    }
    // Note 36 at this rate asks for 3000 sub-steps, the length a new tube
    // starts from: its first glide goes the long way round.
    all.push_back({1100, 49055.0, false, 36.0f});
    // Rates no host should give, which the plug-in takes as they come.
    all.push_back({2000, 0.0, true});
    all.push_back({2001, -44100.0, true});
    all.push_back({2002, std::numeric_limits<double>::quiet_NaN(), true});
    // An infinite rate, taken as it comes too.
    all.push_back({2003, std::numeric_limits<double>::infinity(), true});
    // In tune: fractional lengths, landed on at every glide's end.
    for (uint32_t n = 0; n < 4; ++n) {
        all.push_back({3000 + n, rates[n], n % 2 == 1, 60.0f, true});
    }
    all.push_back({3100, 0.0, true, 60.0f, true});
    // In tune on the long line: the lowest notes, and beyond its reach.
    all.push_back({3200, 96000.0, false, 24.0f, true});
    all.push_back({3201, 192000.0, true, 24.0f, true});
    return all;
}

INSTANTIATE_TEST_SUITE_P(RandomSessions, EnginePaths, ::testing::ValuesIn(sessions()),
                         [](const ::testing::TestParamInfo<Session>& info) {
                             return "seed" + std::to_string(info.param.seed);
                         });

// NaNs of different kinds meeting in one operation: which one comes out is the
// processor's rule for the operands' places, and every path must keep the
// same places. Each damping NaN reaches the loop's state, so the next one
// meets the last one's NaN there; the inputs bring a NaN of their own.
TEST(EnginePathsNaN, MeetingNaNsComeOutTheSameOnEveryPath)
{
    const LV2_Descriptor* d = lv2_descriptor(0);
    const uint32_t dampings[] = {0x7FC00000, 0xFFFFFFFF, 0xFFC00000, 0x7FC0BEEF, 0x46000000};
    // At 96 kHz the lowest notes fill their lines, so that their reads lie
    // just ahead of the writes: a block run again must find the slots it
    // overwrote as they were.
    struct Setting {
        double rate;
        float notes[4];
    };
    for (const Setting& setting :
         {Setting{48000.0, {60.0f, 64.0f, 67.0f, 72.0f}}, Setting{96000.0, {24, 25, 26, 27}}}) {
        SCOPED_TRACE(testing::Message() << setting.rate << " Hz");
        std::vector<std::vector<uint32_t>> heard;
        for (EnginePath path : ENGINE_PATHS) {
            if (!engine_path_available(path)) continue;
            Lane lane;
            lane.open(path, setting.rate, 256, {0, 1, 2, 3}, {4, 5, 6, 7});
            std::copy(std::begin(setting.notes), std::end(setting.notes), lane.controls);
            std::vector<uint32_t> out;
            for (size_t n = 0; n < 2 * std::size(dampings); ++n) {
                // Tube 2 hears a NaN with a payload now and then, the others
                // noise.
                for (uint32_t i = 0; i < 4; ++i) {
                    for (uint32_t s = 0; s < 256; ++s) {
                        lane.pool[i][s] = i == 1 && n % 3 == 1 && s == 7
                                              ? from_bits(0x7FC12345)
                                              : 0.25f * std::sin(0.37f * (s + 256 * n) + i);
                    }
                }
                lane.controls[7] = from_bits(dampings[n % std::size(dampings)]);
                lane.run(256);
                for (uint32_t i = 4; i < 8; ++i) {
                    for (float v : lane.pool[i]) out.push_back(bits(v));
                }
            }
            heard.push_back(out);
            d->cleanup(lane.handle);
        }
        ASSERT_GE(heard.size(), 2u);
        for (size_t p = 1; p < heard.size(); ++p) {
            for (size_t k = 0; k < heard[0].size(); ++k) {
                ASSERT_TRUE(model::same_sample(from_bits(heard[p][k]), from_bits(heard[0][k])))
                    << "path " << p << ", output sample " << k << ": 0x" << std::hex << heard[p][k]
                    << " where the tube-by-tube engine gives 0x" << heard[0][k];
            }
        }
    }
}

}  // namespace

// The path the library takes on this processor: one the processor can run,
// and, where the run names the one it must be (OSTREVAN_EXPECT_ENGINE_PATH,
// as the build's OSTREVAN_ENGINE option names it), that one. The cross
// stages run each emulated model with its path named: a model that lacked
// what it stands for, or had more, would otherwise test another path without
// a word. Runs on the build machine name none, as its processor may be any.
TEST(EnginePathChoice, IsTheOneTheRunNames)
{
    ASSERT_TRUE(engine_path_available(engine_path())) << path_name(engine_path());
    const char* expected = std::getenv("OSTREVAN_EXPECT_ENGINE_PATH");
    if (expected == nullptr || *expected == '\0') {
        return;
    }
    const NamedPath* named =
        std::find_if(std::begin(NAMED_PATHS), std::end(NAMED_PATHS),
                     [&](const NamedPath& n) { return std::strcmp(n.option, expected) == 0; });
    ASSERT_NE(named, std::end(NAMED_PATHS)) << "no path is called " << expected;
    EXPECT_EQ(engine_path(), named->path) << "the library took " << path_name(engine_path());
}
