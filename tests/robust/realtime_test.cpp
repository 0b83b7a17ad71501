#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <lv2/atom/atom.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#include <cstring>

#include "diag/debug_log.h"
#include "loaded_plugin.h"
#include "plugin/ports.h"
#include "rt_probe.h"
#include "urid_map.h"

// What the plug-in asks of the C library while the host's audio thread is in
// it. Every call that can block or take unbounded time (allocation, file and
// lock calls) is interposed and counted; with the log off there must be none
// at all, with the log on only the open, check, write and close of each log
// line.

namespace {

constexpr uint32_t MAX_FRAMES = 8192;
constexpr uint32_t BLOCK = 256;
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

unsigned long total_calls(const RtProbeCounts& counts)
{
    unsigned long total = 0;
    for (unsigned long calls : counts.calls) {
        total += calls;
    }
    return total;
}

std::string describe(const RtProbeCounts& counts)
{
    std::string text;
    for (int i = 0; i < RT_CALL_COUNT; ++i) {
        if (counts.calls[i] != 0) {
            text += std::string(text.empty() ? "" : ", ") + rt_probe_call_name(i) + " " +
                    std::to_string(counts.calls[i]);
        }
    }
    return text.empty() ? "none" : text;
}

// The log file, created empty (level 1) for one test and removed after it.
struct LogFileOn {
    LogFileOn() { std::ofstream(LOG_PATH, std::ios::trunc).flush(); }
    ~LogFileOn() { std::remove(LOG_PATH); }
};

void fill_inputs(HostInstance& host)
{
    for (int i = 0; i < TUBE_COUNT; ++i) {
        fill_noise_bursts(host.input(i), host.capacity(), 4096, 512, static_cast<uint32_t>(i));
    }
}

// Counts the glides that reach their length in one run; reads only the
// instance's memory, so it may stand inside a counting window.
int run_counting_arrivals(HostInstance& host, uint32_t frames)
{
    bool was_gliding[TUBE_COUNT];
    for (int i = 0; i < TUBE_COUNT; ++i) {
        was_gliding[i] = host.internals().bank->gliding[i];
    }
    host.run(frames);
    int arrivals = 0;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        const TubeBank& bank = *host.internals().bank;
        arrivals += was_gliding[i] && !bank.gliding[i] && bank.length[i] == bank.glide_target[i];
    }
    return arrivals;
}

// What the host does between two runs. It writes only into memory the host
// already owns and calls connect_port, activate and deactivate, which are as
// bound to the audio thread as run.
using BetweenRuns = void (*)(HostInstance&, int block);

void nothing(HostInstance&, int) {}

void every_control_changes(HostInstance& host, int block)
{
    for (int i = 0; i < TUBE_COUNT; ++i) {
        host.control(PORT_NOTE_1 + i) = 40.0f + static_cast<float>((block * 7 + i * 11) % 50);
    }
    host.control(PORT_TRANSPOSE) = static_cast<float>(block % 5 - 2);
    host.control(PORT_DECAY) = 50.0f + 37.0f * static_cast<float>(block % 7);
    host.control(PORT_LEVEL) = -static_cast<float>(block % 13);
    host.control(PORT_DAMPING) = 2000.0f + 1000.0f * static_cast<float>(block % 11);
}

// A new chord every 40 blocks: long enough for each glide to arrive.
void chord_changes(HostInstance& host, int block)
{
    const float step = static_cast<float>((block / 40) % 3) * 5.0f;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        host.control(PORT_NOTE_1 + i) = default_control(PORT_NOTE_1 + i) - step;
    }
}

void bad_controls(HostInstance& host, int block)
{
    const float values[] = {NaN, INF, -INF, -0.0f, 3e38f, -1.0f, 60.5f};
    const float value = values[block % 7];
    for (uint32_t port = PORT_NOTE_1; port < PORT_COUNT; ++port) {
        host.control(port) = value;
    }
}

void reconnect_everything(HostInstance& host, int block)
{
    host.connect_separately();
    host.connect(PORT_COUNT, nullptr);
    host.connect(1000u + static_cast<uint32_t>(block), &host);
    if (block % 10 == 0) {
        host.deactivate();
        host.activate();
    }
    chord_changes(host, block);
}

uint32_t fixed_block(int)
{
    return BLOCK;
}

uint32_t ragged_block(int block)
{
    const uint32_t sizes[] = {0, 1, 15, 16, 17, 100, 511, 4096, MAX_FRAMES};
    return sizes[block % 9];
}

struct Scenario {
    const char* name;
    double sample_rate;
    uint32_t warm_up_frames;  // run before counting starts
    int blocks;
    BetweenRuns between;
    uint32_t (*block_size)(int block);
    bool in_place;
    int min_arrivals;  // proof that glides ran to their end inside the window
};

const Scenario SCENARIOS[] = {
    {"SettledNoChange", 48000.0, 60000, 400, nothing, fixed_block, false, 0},
    {"FirstRunsGlideFromTheStart", 48000.0, 0, 400, nothing, fixed_block, false, 4},
    {"EveryControlEveryBlock", 48000.0, 0, 400, every_control_changes, fixed_block, false, 0},
    {"ChordChangesWithGlidesArriving", 44100.0, 0, 480, chord_changes, fixed_block, false, 8},
    {"NaNInfiniteAndHugeControls", 48000.0, 0, 400, bad_controls, fixed_block, false, 0},
    {"BlockSizesZeroTo8192", 96000.0, 0, 90, chord_changes, ragged_block, false, 4},
    {"InPlaceCrossedBuffers", 48000.0, 0, 480, chord_changes, fixed_block, true, 8},
    {"ReconnectAndReactivateEveryBlock", 48000.0, 0, 480, reconnect_everything, fixed_block, false,
     8},
    {"SampleRateZero", 0.0, 0, 200, every_control_changes, fixed_block, false, 0},
    {"SampleRateNaN", static_cast<double>(NaN), 0, 200, every_control_changes, fixed_block, false,
     0},
    {"SampleRateNegative", -48000.0, 0, 200, chord_changes, fixed_block, false, 0},
};

// Names the scenario in test listings.
void PrintTo(const Scenario& scenario, std::ostream* out)
{
    *out << scenario.name;
}

class RunIsRealTimeSafe : public testing::TestWithParam<Scenario> {};

TEST_P(RunIsRealTimeSafe, NoAllocationFileOrLockCall)
{
    const Scenario& scenario = GetParam();
    ASSERT_TRUE(rt_probe_active()) << "the probe does not interpose the C library";
    ASSERT_FALSE(log_file_exists()) << LOG_PATH << " exists: these runs need the log off";

    HostInstance host(descriptor(), scenario.sample_rate, MAX_FRAMES);
    ASSERT_TRUE(host.valid());
    fill_inputs(host);
    if (scenario.in_place) {
        host.connect_in_place({1, 2, 3, 0});
    }
    for (uint32_t done = 0; done < scenario.warm_up_frames; done += BLOCK) {
        host.run(BLOCK);
    }

    int arrivals = 0;
    rt_probe_begin();
    for (int block = 0; block < scenario.blocks; ++block) {
        scenario.between(host, block);
        arrivals += run_counting_arrivals(host, scenario.block_size(block));
    }
    const RtProbeCounts counts = rt_probe_end();

    EXPECT_EQ(total_calls(counts), 0u) << describe(counts);
    EXPECT_GE(arrivals, scenario.min_arrivals);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RunIsRealTimeSafe, testing::ValuesIn(SCENARIOS),
                         [](const testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

// Without this, zero counts above could mean the probe never saw the
// library's calls at all.
TEST(Probe, SeesTheLibrarysOwnCalls)
{
    ASSERT_TRUE(rt_probe_active());
    ASSERT_FALSE(log_file_exists()) << LOG_PATH << " exists: this test needs the log off";
    const LV2_Descriptor* d = descriptor();
    rt_probe_begin();
    LV2_Handle handle = d->instantiate(d, 48000.0, "", nullptr);
    d->cleanup(handle);
    const RtProbeCounts counts = rt_probe_end();

    // The log switch is looked for once, and as nothing is there no stream is
    // made; the record comes from malloc and the bank from aligned_alloc, and
    // both go back. The library has no C++ runtime: new and delete are never
    // its calls.
    EXPECT_EQ(counts.calls[RT_OPEN], 1u) << describe(counts);
    EXPECT_EQ(counts.calls[RT_FSTAT] + counts.calls[RT_FOPEN] + counts.calls[RT_FDOPEN], 0u)
        << describe(counts);
    EXPECT_GE(counts.calls[RT_MALLOC], 1u) << describe(counts);
    EXPECT_EQ(counts.calls[RT_ALIGNED_ALLOC], 1u) << describe(counts);
    EXPECT_GE(counts.calls[RT_FREE], 2u) << describe(counts);
    EXPECT_EQ(counts.calls[RT_NEW], 0u) << describe(counts);
    EXPECT_EQ(counts.calls[RT_DELETE], 0u) << describe(counts);
    EXPECT_EQ(counts.blocks_obtained, counts.blocks_released) << describe(counts);
}

TEST(LogOn, InstantiateOpensTheFileOnceToReadItAndOncePerLine)
{
    LogFileOn log;
    const LV2_Descriptor* d = descriptor();
    const size_t before = log_lines().size();
    rt_probe_begin();
    LV2_Handle handle = d->instantiate(d, 48000.0, "", nullptr);
    const RtProbeCounts counts = rt_probe_end();
    d->cleanup(handle);

    const size_t written = log_lines().size() - before;
    EXPECT_EQ(written, 12u);  // the level-0 line and eleven feedback lines
    // Each open is checked on its descriptor; the level is one read, each
    // line one write, and no stream is made for either.
    for (int call : {RT_OPEN, RT_FSTAT, RT_CLOSE}) {
        EXPECT_EQ(counts.calls[call], written + 1)
            << rt_probe_call_name(call) << ": " << describe(counts);
    }
    EXPECT_EQ(counts.calls[RT_READ], 1u) << describe(counts);
    EXPECT_EQ(counts.calls[RT_WRITE], written) << describe(counts);
    for (int call : {RT_FOPEN, RT_FDOPEN, RT_FCLOSE, RT_FREAD, RT_VFPRINTF, RT_FPUTC}) {
        EXPECT_EQ(counts.calls[call], 0u) << rt_probe_call_name(call) << ": " << describe(counts);
    }
    // What an instance takes with the log off, and nothing for the log.
    EXPECT_EQ(counts.calls[RT_MALLOC], 1u) << describe(counts);
    EXPECT_EQ(counts.calls[RT_ALIGNED_ALLOC], 1u) << describe(counts);
    EXPECT_EQ(counts.blocks_obtained, 2u) << describe(counts);
}

// A file of any size may sit at the path. Here 400 MB: digits for its first
// mebibyte, then a hole that reads as zero bytes (sparse, so the test writes
// little). Its first token runs past what instantiate reads, which gives
// level 1; instantiate reads it once, allocates nothing for it, and takes
// under a millisecond longer than with a one-byte file.
TEST(LogOn, AFileOfHundredsOfMegabytesIsReadOnlyAtItsStart)
{
    const off_t BIG = off_t{400} << 20;
    const std::string digits(1 << 20, '9');
    const auto make = [&](bool big) {
        std::remove(LOG_PATH);
        const int fd = open(LOG_PATH, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        if (big) {
            ASSERT_EQ(pwrite(fd, digits.data(), digits.size(), 0),
                      static_cast<ssize_t>(digits.size()));
            ASSERT_EQ(ftruncate(fd, BIG), 0);
        } else {
            ASSERT_EQ(write(fd, "1", 1), 1);
        }
        close(fd);
    };
    const LV2_Descriptor* d = descriptor();
    // Interleaved, so that both sizes see the same load; the median drops a
    // stray pause.
    std::vector<double> seconds[2];
    for (int round = 0; round < 15; ++round) {
        for (const bool big : {false, true}) {
            make(big);
            const auto start = std::chrono::steady_clock::now();
            LV2_Handle handle = d->instantiate(d, 48000.0, "", nullptr);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            ASSERT_NE(handle, nullptr);
            d->cleanup(handle);
            seconds[big].push_back(took.count());
        }
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    EXPECT_LT(median(seconds[1]) - median(seconds[0]), 1e-3)
        << "one-byte file: " << median(seconds[0]) * 1e3
        << " ms, 400 MB file: " << median(seconds[1]) * 1e3 << " ms";

    make(true);
    rt_probe_begin();
    LV2_Handle handle = d->instantiate(d, 48000.0, "", nullptr);
    const RtProbeCounts counts = rt_probe_end();
    d->cleanup(handle);
    EXPECT_EQ(counts.calls[RT_READ], 1u) << describe(counts);
    EXPECT_EQ(counts.calls[RT_MALLOC], 1u) << describe(counts);
    EXPECT_EQ(counts.calls[RT_ALIGNED_ALLOC], 1u) << describe(counts);
    EXPECT_EQ(counts.calls[RT_CALLOC] + counts.calls[RT_REALLOC] + counts.calls[RT_MMAP], 0u)
        << describe(counts);
    // Level 1, every line, each appended after the file's end.
    std::ifstream file(LOG_PATH, std::ios::binary);
    file.seekg(BIG);
    const std::string appended((std::istreambuf_iterator<char>(file)), {});
    EXPECT_EQ(std::count(appended.begin(), appended.end(), '\n'), 12) << appended;
    std::remove(LOG_PATH);
}

// Something other than a regular file at the path is looked at once, put
// back at once, and leaves the log off: run then touches no file at all.
TEST(LogOff, ANonRegularFileAtThePathIsClosedAtOnceAndRunTouchesNothing)
{
    struct Kind {
        const char* name;
        int (*make)();
        int (*unmake)();
    };
    const Kind kinds[] = {
        {"named pipe", [] { return mkfifo(LOG_PATH, 0644); }, [] { return unlink(LOG_PATH); }},
        {"directory", [] { return mkdir(LOG_PATH, 0755); }, [] { return rmdir(LOG_PATH); }},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        ASSERT_FALSE(log_file_exists()) << LOG_PATH << " exists: this test puts its own there";
        ASSERT_EQ(kind.make(), 0);
        const LV2_Descriptor* d = descriptor();
        rt_probe_begin();
        HostInstance host(d, 48000.0, MAX_FRAMES);
        const RtProbeCounts at_instantiate = rt_probe_end();
        ASSERT_TRUE(host.valid());
        EXPECT_EQ(at_instantiate.calls[RT_OPEN], 1u) << describe(at_instantiate);
        EXPECT_EQ(at_instantiate.calls[RT_FSTAT], 1u) << describe(at_instantiate);
        EXPECT_EQ(at_instantiate.calls[RT_CLOSE], 1u) << describe(at_instantiate);
        EXPECT_EQ(at_instantiate.calls[RT_FDOPEN], 0u) << describe(at_instantiate);

        fill_inputs(host);
        rt_probe_begin();
        for (int block = 0; block < 200; ++block) {
            every_control_changes(host, block);
            host.run(BLOCK);
        }
        const RtProbeCounts counts = rt_probe_end();
        EXPECT_EQ(total_calls(counts), 0u) << describe(counts);
        EXPECT_EQ(kind.unmake(), 0);
    }
}

TEST(LogOn, RunTouchesTheFileOnlyForItsLines)
{
    LogFileOn log;
    HostInstance host(descriptor(), 48000.0, MAX_FRAMES);
    ASSERT_TRUE(host.valid());
    fill_inputs(host);
    const size_t before = log_lines().size();

    int arrivals = 0;
    rt_probe_begin();
    for (int block = 0; block < 480; ++block) {
        if (block % 120 == 60) {
            every_control_changes(host, block);
        } else {
            chord_changes(host, block);
        }
        arrivals += run_counting_arrivals(host, BLOCK);
    }
    const RtProbeCounts counts = rt_probe_end();

    const std::vector<std::string> lines = log_lines();
    const size_t written = lines.size() - before;
    EXPECT_GE(arrivals, 8);
    EXPECT_GT(written, 0u);
    // One open, one check, one write and one close of the file per line, and
    // nothing else: no allocation, no stream, no read, no lock, no other file.
    for (int call : {RT_OPEN, RT_FSTAT, RT_WRITE, RT_CLOSE}) {
        EXPECT_EQ(counts.calls[call], written)
            << rt_probe_call_name(call) << ": " << describe(counts);
    }
    EXPECT_EQ(counts.blocks_obtained, counts.blocks_released) << describe(counts);
    for (int call :
         {RT_MALLOC, RT_CALLOC, RT_REALLOC, RT_FREE, RT_ALIGNED_ALLOC, RT_FOPEN, RT_FDOPEN,
          RT_FCLOSE, RT_VFPRINTF, RT_FPUTC, RT_FWRITE, RT_FFLUSH, RT_READ, RT_FREAD,
          RT_MUTEX_LOCK, RT_RWLOCK_LOCK, RT_SEM_WAIT, RT_COND_WAIT, RT_GUARD_ACQUIRE, RT_SLEEP,
          RT_NEW, RT_DELETE, RT_MMAP, RT_MUNMAP}) {
        EXPECT_EQ(counts.calls[call], 0u) << rt_probe_call_name(call) << ": " << describe(counts);
    }
    for (size_t i = before; i < lines.size(); ++i) {
        EXPECT_TRUE(is_whole_log_line(lines[i])) << lines[i];
    }
}

}  // namespace

namespace {

// A companion driven as a host drives it: every port connected, a MIDI
// sequence written into memory the host owns before each run.
struct CompanionRun {
    const LV2_Descriptor* d;
    LV2_Handle h;
    std::vector<float> audio[4];
    float controls[CONTROL_COUNT];
    alignas(8) uint8_t midi[2048];

    CompanionRun(PluginKind kind, const LV2_Feature* const* features)
        : d(loaded_plugin().descriptor(static_cast<uint32_t>(kind))),
          h(d->instantiate(d, 48000.0, "/nonexistent/", features))
    {
        if (h == nullptr) return;
        for (auto& buffer : audio) buffer.assign(MAX_FRAMES, 0.0f);
        fill_noise_bursts(audio[0].data(), MAX_FRAMES, 4096, 512, 1);
        fill_noise_bursts(audio[1].data(), MAX_FRAMES, 3000, 256, 2);
        for (int id = 0; id < CONTROL_COUNT; ++id) controls[id] = CONTROLS[id].default_value;
        const bool mono = kind == PluginKind::MONO;
        const PortRow* ports = mono ? MONO_PORTS : STEREO_PORTS;
        const uint32_t count = mono ? uint32_t(MONO_PORT_COUNT) : uint32_t(STEREO_PORT_COUNT);
        for (uint32_t port = 0; port < count; ++port) {
            const PortRow& row = ports[port];
            void* data = midi;
            if (row.kind == PortKind::AUDIO_IN) data = audio[row.slot].data();
            if (row.kind == PortKind::AUDIO_OUT) data = audio[2 + row.slot].data();
            if (row.kind == PortKind::CONTROL) data = &controls[row.slot];
            d->connect_port(h, port, data);
        }
        d->activate(h);
    }
    ~CompanionRun()
    {
        if (h != nullptr) d->cleanup(h);
    }

    // The block's MIDI: a chord of `keys` pressed at spread frames, every
    // key released first, with a controller and a pitch bend among them.
    void write_midi(LV2_URID sequence, LV2_URID frame_time, LV2_URID midi_event, int block,
                    uint32_t frames)
    {
        auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(midi);
        seq->atom.type = sequence;
        seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
        seq->body.unit = frame_time;
        seq->body.pad = 0;
        const uint8_t messages[][3] = {
            {0xB0, 123, 0},  // all notes off
            {0x90, uint8_t(36 + block % 40), 90},
            {0xE0, 0, 64},
            {0x90, uint8_t(50 + block % 30), 90},
            {0x80, uint8_t(36 + block % 40), 0},
            {0x90, uint8_t(100 + block % 27), 90},  // moved into range by octaves
        };
        uint32_t offset = 0;
        for (const auto& message : messages) {
            auto* event = reinterpret_cast<LV2_Atom_Event*>(
                midi + sizeof(LV2_Atom_Sequence) + offset);
            event->time.frames = frames == 0 ? 0 : (offset * 7) % frames;
            event->body.size = 3;
            event->body.type = midi_event;
            std::memcpy(event + 1, message, 3);
            const uint32_t size = uint32_t(sizeof(LV2_Atom_Event)) + 8;
            offset += size;
            seq->atom.size += size;
        }
    }
};

}  // namespace

// The companions' runs, MIDI included: key changes split the block, the
// notes come from the keys or the knobs in turn, and every control takes
// values of every kind.
TEST(CompanionRunIsRealTimeSafe, NoAllocationFileOrLockCall)
{
    ASSERT_TRUE(rt_probe_active());
    ASSERT_FALSE(log_file_exists()) << LOG_PATH << " exists: these runs need the log off";
    // The companions map their few URIs at instantiate, outside every
    // counting window.
    const LV2_Feature* const* features = host_features();
    const LV2_URID sequence = map_uri(nullptr, LV2_ATOM__Sequence);
    const LV2_URID frame_time = map_uri(nullptr, LV2_ATOM__frameTime);
    const LV2_URID midi_event = map_uri(nullptr, LV2_MIDI__MidiEvent);
    const float odd[] = {NaN, INF, -INF, 3e38f, -1.0f, 0.5f, 60.5f};

    for (PluginKind kind : {PluginKind::MONO, PluginKind::STEREO}) {
        SCOPED_TRACE(int(kind));
        CompanionRun c(kind, features);
        ASSERT_NE(c.h, nullptr);
        int chords = 0;
        rt_probe_begin();
        for (int block = 0; block < 400; ++block) {
            const uint32_t frames = block % 50 == 49 ? MAX_FRAMES : ragged_block(block) % 1024;
            c.write_midi(sequence, frame_time, midi_event, block, frames);
            c.controls[CONTROL_NOTES_FROM] = float((block / 20) % 2);
            c.controls[CONTROL_INPUT] = float((block / 30) % 2);
            c.controls[CONTROL_TUNING] = float((block / 70) % 2);
            c.controls[CONTROL_MIX] = float(block % 101);
            c.controls[CONTROL_WIDTH] = float((block * 3) % 101);
            if (block % 9 == 0) {
                for (int id = 0; id < CONTROL_COUNT; ++id) c.controls[id] = odd[block % 7];
            }
            const float before = static_cast<PluginInstance*>(c.h)->bank->note[3];
            c.d->run(c.h, frames);
            chords += static_cast<PluginInstance*>(c.h)->bank->note[3] != before;
        }
        const RtProbeCounts counts = rt_probe_end();
        EXPECT_EQ(total_calls(counts), 0u) << describe(counts);
        EXPECT_GT(chords, 50) << "the keys played must have reached the tubes";
    }
}
