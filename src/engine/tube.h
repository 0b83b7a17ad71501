#pragma once

#include <cstdint>

// One resonator voice: the control values last applied to it, the
// coefficients derived from them, and its filter, modulation and glide state.
// Its delay line lives beside the other tubes' lines in the bank
// (engine/tube_bank.h); the record is what the set operations, the glide and
// the tube-by-tube engine work on.
//
// Every length, index, position and speed here counts sub-steps: the tube runs
// four sub-steps per host sample. sample_rate is always the host's rate in Hz.

inline constexpr int TUBE_COUNT = 4;
inline constexpr int SUB_STEPS = 4;           // sub-steps per host sample
// A tube's delay line wraps after line_size slots: DELAY_SIZE, or
// LONG_DELAY_SIZE where a tube in tune needs it (line_size_for). The read
// position's arithmetic rounds by the size it wraps at, so a tube's output
// depends on its line's size: whole-step tubes always keep DELAY_SIZE.
inline constexpr uint64_t DELAY_SIZE = 6000;
inline constexpr uint64_t LONG_DELAY_SIZE = 2 * DELAY_SIZE;
inline constexpr uint64_t DELAY_GUARD = 5;  // copies of slots 0..4 after the end
// Every line has room for the long size.
inline constexpr uint64_t DELAY_SLOTS = LONG_DELAY_SIZE + DELAY_GUARD;
inline constexpr uint64_t MIN_LENGTH = 121;
inline constexpr uint64_t MAX_LENGTH = DELAY_SIZE - 1;  // of whole steps
inline constexpr uint64_t START_LENGTH = 3000;
inline constexpr float START_RATE = 48000.0f;

inline constexpr float FEEDBACK_LIMIT = 0.99999f;
inline constexpr float SILENCE_DB = -120.0f;

// Every field of a tube, once. The record below, the bank's lane arrays
// (engine/tube_bank.h) and the lockstep engine's registers
// (engine/lockstep_lanes.h) are all made from these lists, each giving the
// kinds of field its own types:
//   REAL     a single-precision value
//   COUNT    a length, index or position in whole sub-steps
//   FLAG     a yes or no
//   MEMO     the in-tune distances worked out so far, one per note
//
// The settings: control values last applied, and what only the set
// operations and a glide's arrival read.
#define TUBE_SETTINGS(X)                                                                         \
    X(REAL, note)                                                                                \
    X(REAL, transpose) X(REAL, decay) X(REAL, damping_hz) X(REAL, level_db) X(REAL, sample_rate) \
        X(REAL, decay_time) X(REAL, tuning) X(MEMO, tuned)

// What the sample loop reads and carries from sub-step to sub-step, in four
// lists by what may change them, so that the lockstep engine only writes
// back what a call can have changed:
//  - what the loop reads and never changes (the set operations do);
//  - what every sub-step moves;
//  - the length, which a tube's glide measures while it glides;
//  - what only a glide's taking up a request or its arrival changes.
#define TUBE_LOOP_SETTINGS(X) X(REAL, gain) X(REAL, damping_coef) X(COUNT, line_size)
#define TUBE_LOOP_MOTION(X)                                                                   \
    X(REAL, damping_state)                                                                    \
    X(REAL, highpass_state) X(REAL, read_pos) X(REAL, lfo_phase) X(REAL, integ)               \
        X(COUNT, write_index) X(REAL, input_0) X(REAL, input_1) X(REAL, input_2) X(REAL, input_3)
#define TUBE_GLIDE_LENGTH(X) X(COUNT, length)
#define TUBE_GLIDE_EVENTS(X)                                                                      \
    X(REAL, feedback)                                                                             \
    X(REAL, read_speed) X(COUNT, glide_target) X(COUNT, pending_length) X(FLAG, gliding)          \
        X(REAL, pending_distance) X(REAL, glide_distance)
#define TUBE_LOOP_STATE(X) \
    TUBE_LOOP_SETTINGS(X) TUBE_LOOP_MOTION(X) TUBE_GLIDE_LENGTH(X) TUBE_GLIDE_EVENTS(X)

#define TUBE_FIELDS(X) TUBE_SETTINGS(X) TUBE_LOOP_STATE(X)

// In tune, the distance each note's loop needs (engine/in_tune.h) for the
// rate, damping and decay the tube has now, kept once worked out: working one
// out costs tens of thousands of instructions, and a keyboard or a transpose
// brings the same notes back again and again. An entry not worked out yet is
// a NaN; a change of rate, damping or decay forgets them all.
inline constexpr int MEMO_NOTES = 128;
struct TuningMemo {
    float distance[MEMO_NOTES];
};

// The kinds of field in one tube's record.
struct RecordKinds {
    using REAL = float;
    using COUNT = uint64_t;
    using FLAG = bool;
    using MEMO = TuningMemo;
};

struct Tube {
#define TUBE_RECORD_FIELD(kind, name) RecordKinds::kind name;
    TUBE_FIELDS(TUBE_RECORD_FIELD)
#undef TUBE_RECORD_FIELD
};

// A parameter field or cache that has never been applied holds a quiet NaN:
// it equals nothing, so the first value offered is always taken up.
float unset_value();

// Puts a tube in its construction state (including its first retune and the
// default decay and damping, with their log lines), as a new bank does. The
// tube's delay line is cleared by the bank.
void construct_tube(Tube& tube);

// Set operations. Each but set_sample_rate compares first and does nothing
// when the tube already holds the value (float equality), so only a real
// change costs a powf or expf call or a log line.
void set_note(Tube& tube, float value);
void set_transpose(Tube& tube, float value);
void set_decay(Tube& tube, float value);
void set_level(Tube& tube, float value);
void set_damping(Tube& tube, float value);
void set_sample_rate(Tube& tube, float rate);

// How a tube's loop length follows its note. With TUNING_WHOLE_STEPS (a new
// tube's) the length is the note's period rounded to whole sub-steps, and a
// glide ends where its measured length first reaches it, a fraction of a
// sub-step either way: the pitch lies tens of cents off the note, the loop's
// filters lengthening every trip. With TUNING_IN_TUNE the length is the
// fractional one that puts the partials' spacing on the note
// (engine/in_tune.h), and the read position lands on it exactly when a
// glide arrives (or at once, when the whole sub-steps stay the same): a jump
// of less than one sub-step. In tune, a change of damping moves the length
// as a note change does; the decay used is the one the tube has when the
// length is requested.
inline constexpr float TUNING_WHOLE_STEPS = 0.0f;
inline constexpr float TUNING_IN_TUNE = 1.0f;
void set_tuning(Tube& tube, float value);

// The size of a tube's line at a tuning and rate. In tune, the line holds the
// loop of the lowest note the controls offer (C1) at every rate up to about
// 98 kHz: above about 49 kHz that takes LONG_DELAY_SIZE. Whole steps, and
// in tune at lower rates, the tube keeps DELAY_SIZE. The bank re-lays a
// line whose size a set operation changes (engine/tube_bank.h).
uint64_t line_size_for(float tuning, float sample_rate);

// Shared second half of set_note and set_transpose: requests the length and
// sets the feedback for the length the tube has now.
void retune(Tube& tube);

// Requests the length the tube's note and tuning ask for (the first half of
// retune).
void request_length(Tube& tube);

// Empties the tube's memo of in-tune distances (TuningMemo).
void forget_tuning(Tube& tube);

// In tune, working a distance out (engine/in_tune.h) is the one costly step
// of a control change. A caller that has another thread for it changes the
// damping with set_damping_later, which moves the damping at once but leaves
// the length where it is, asks in_tune_distance the tube's question on that
// thread, and hands the answer back with take_distance. The answer is taken
// when the tube is still in tune at the note, transpose and rate asked about
// (a note changed since has had its own distance already); it is remembered
// when the damping and decay are still the ones asked about too, so an
// answer overtaken by a newer damping moves the pitch near its place and
// the newer answer, when it comes, puts it there.
struct TuningQuestion {
    float note;  // note + transpose
    float sample_rate;
    float damping_coef;
    float decay_ms;
};
TuningQuestion tuning_question(float note, float transpose, float sample_rate, float damping_coef,
                               float decay);
TuningQuestion tuning_question(const Tube& tube);
void set_damping_later(Tube& tube, float value);
void take_distance(Tube& tube, const TuningQuestion& question, float distance);

// The same thread can work out every note's distance at once, distance[n]
// for note n of the memo, under the rate, damping and decay of `question`
// (its note unused). The tube remembers those of the notes it does not hold
// yet, and only if it still has that rate, damping and decay: a note met
// later then costs run nothing, and its distance is the one run would have
// worked out. False when the tube's conditions have moved on.
bool remember_distances(Tube& tube, const TuningQuestion& question,
                        const float (&distance)[MEMO_NOTES]);

// The loop gain 0.001 ^ (length / divisor) makes the circulating signal fall
// by 60 dB in the decay time. The divisor sample_rate x 0.001 x decay_time is
// a product of three floats, and each caller forms it in its own order, which
// rounds differently; the order is part of each caller's result.
enum class GainOrder {
    RETUNE,         // (sample_rate x 0.001) x decay_time
    DECAY_CHANGE,   // (decay_time x 0.001) x sample_rate
    GLIDE_ARRIVAL,  // (decay_time x sample_rate) x 0.001
};
float loop_gain(uint64_t length, float sample_rate, float decay_time, GainOrder order);

// Keeps |feedback| below 1; any value inside the bounds, NaN included, passes.
float clamp_feedback(float gain);

// The feedback a loop gain gives. A retune and a glide arrival keep the loop
// in phase; a decay change leaves it inverting (the partials move to the odd
// multiples of half the note's frequency) until the tube's next retune or
// arrival.
enum class FeedbackSign { IN_PHASE, INVERTED };
float feedback_for(float gain, FeedbackSign sign);

// The feedback a tube settles on when its glide reaches `length`.
float arrival_feedback(uint64_t length, float decay_time, float sample_rate);

// The one log line of a feedback computation: the value just stored and the
// length it was computed for.
void log_feedback(float feedback, uint64_t length);

// x rounded half away from zero into an unsigned count, saturating: NaN and
// negative values give 0, values beyond the 64-bit range the largest count.
uint64_t round_to_count(float x);

// The delay length, clamped to [MIN_LENGTH, MAX_LENGTH], that note + transpose
// asks for at sample_rate.
uint64_t requested_length(float note, float transpose, float sample_rate);
