#pragma once

#include <lv2/core/lv2.h>

#include <array>
#include <cstdint>
#include <vector>

#include "plugin/ports.h"

// One instance driven as a host drives it, at 48 kHz in blocks of a fixed
// size: every port connected, noise bursts at the inputs (four, or a
// companion's one or two), the controls at the table's defaults. The benchmark and the callgrind driver share it, so
// both measure the same work.

enum class Motion {
    steady,   // tubes resting at their notes, ringing after each burst
    gliding,  // transpose jumping every GLIDE_EVERY_FRAMES: glides always running
    chords,   // a new chord every CHORD_EVERY_FRAMES, from the note controls of
              // the four-channel plug-in, from MIDI keys for a companion
    sweeping, // the damping automated: a new value at every block, ramping up
              // from SWEEP_LOW_HZ to SWEEP_HIGH_HZ over each TRACK_FRAMES
};

const char* motion_name(Motion motion);

// The cases both measuring programs run, each for every plug-in given.
inline constexpr Motion BENCH_MOTIONS[] = {Motion::steady, Motion::gliding, Motion::chords,
                                           Motion::sweeping};
inline constexpr uint32_t BENCH_BLOCKS[] = {1, 64, 256, 1024};

// An instance made while the diagnostic log file is there writes a line at
// every retune and arrival: figures that are not the plug-in's alone, and
// megabytes of lines in a file that is not the benchmark's (another
// program's log tests may be reading it). The measuring programs call this
// before each session: it waits for the file to go, and exits rather than
// measure with the log on.
void wait_for_log_off();

inline constexpr double BENCH_RATE = 48000.0;

// Frames run before measuring: the first glides, from the start length to the
// default notes, are over after about 6000 frames.
inline constexpr uint32_t SETTLE_FRAMES = 14400;

// The input repeats every TRACK_FRAMES: a burst of BURST_FRAMES of noise,
// then silence, in which each tube's tail falls by more than 60 dB at the
// default decay. Block sizes must divide it.
inline constexpr uint32_t TRACK_FRAMES = 8192;
inline constexpr uint32_t BURST_FRAMES = 256;

// Jumps of 12 to 48 semitones make most glides outlast the interval between
// two jumps, so that a tube arriving mostly finds the next request waiting.
inline constexpr uint32_t GLIDE_EVERY_FRAMES = 1024;
inline constexpr std::array<float, 4> GLIDE_TRANSPOSES = {-24.0f, 12.0f, -12.0f, 24.0f};

// 100 ms at 48 kHz; the chords follow each other in this order.
inline constexpr uint32_t CHORD_EVERY_FRAMES = 4800;
inline constexpr float BENCH_CHORDS[4][4] = {
    {60.0f, 64.0f, 67.0f, 72.0f},
    {57.0f, 60.0f, 64.0f, 69.0f},
    {62.0f, 67.0f, 69.0f, 74.0f},
    {48.0f, 55.0f, 62.0f, 69.0f},
};

inline constexpr float SWEEP_LOW_HZ = 3000.0f;
inline constexpr float SWEEP_HIGH_HZ = 12000.0f;

// The session is the host's worker too (LV2's worker extension), made
// synchronous: work() does between two runs what a host's worker thread does
// (not counted as the plug-in's cost on the audio thread), and run()
// delivers its answers after the plug-in's run, as a host's audio thread
// does at the end of a cycle.
class BenchSession {
public:
    BenchSession(const LV2_Descriptor* descriptor, Motion motion, uint32_t block,
                 PluginKind kind = PluginKind::FOUR);
    ~BenchSession();
    BenchSession(const BenchSession&) = delete;
    BenchSession& operator=(const BenchSession&) = delete;

    // Runs SETTLE_FRAMES with the controls left alone.
    void settle();

    // The host's work before a run: the next stretch of input into the input
    // buffers and, when gliding, the next transpose when one is due.
    void next_block();

    void run();
    // The worker thread's share: the work the last runs asked for.
    void work();
    bool has_work() const { return !work_.empty(); }

    uint32_t block() const { return block_; }
    // Whether the diagnostic log file was there just after the instance was
    // made: then its figures include the log's writes.
    bool log_on() const { return log_on_; }
    LV2_Handle handle() const { return handle_; }
    uint64_t frames() const { return frames_; }
    const float* output(int tube) const { return outputs_[tube].data(); }

private:
    void copy_input();

    const LV2_Descriptor* descriptor_;
    LV2_Handle handle_;
    bool log_on_ = false;
    Motion motion_;
    uint32_t block_;
    uint64_t frames_ = 0;   // frames handed to run so far, settling included
    uint64_t settled_ = 0;  // frames_ when settle ended: the glides start there
    uint32_t glide_step_ = 0;
    std::array<float, CONTROL_COUNT> controls_;
    // A companion's MIDI input: an empty sequence.
    alignas(8) std::array<uint8_t, 512> midi_;
    PluginKind kind_;
    uint32_t chord_step_ = 0;
    uint32_t midi_event_ = 0;
    void write_chord_keys(const float* previous, const float* next);
    std::vector<std::vector<uint8_t>> work_;     // asked for, not yet worked
    std::vector<std::vector<uint8_t>> answers_;  // worked, not yet delivered
    const void* worker_ = nullptr;               // the plug-in's LV2_Worker_Interface
    std::array<std::vector<float>, 4> track_;
    std::array<std::vector<float>, 4> inputs_;
    std::array<std::vector<float>, 4> outputs_;
};
