#pragma once

#include <cstdint>

// One resonator voice and the bank of four that an instance owns.
//
// Every length, index, position and speed here counts sub-steps: the tube runs
// four sub-steps per host sample. sample_rate is always the host's rate in Hz.

inline constexpr uint64_t DELAY_SIZE = 6000;  // slots that wrap
inline constexpr uint64_t DELAY_GUARD = 5;    // copies of slots 0..4 after the end
inline constexpr uint64_t MIN_LENGTH = 121;
inline constexpr uint64_t MAX_LENGTH = 5999;
inline constexpr uint64_t START_LENGTH = 3000;
inline constexpr float START_RATE = 48000.0f;

inline constexpr float FEEDBACK_LIMIT = 0.99999f;
inline constexpr float HIGHPASS_POLE = 0.99738544f;  // exp(-2*pi*20/48000)
inline constexpr float SILENCE_DB = -120.0f;

struct Tube {
    float note;
    float transpose;
    float decay;
    float damping_hz;
    float level_db;
    float gain;
    float damping_coef;
    float damping_state;
    float highpass_coef;
    float highpass_state;
    float sample_rate;
    float feedback;
    float read_pos;
    uint64_t write_index;
    float decay_time;
    uint64_t length;
    uint64_t glide_target;
    uint64_t pending_length;
    bool gliding;
    float read_speed;
    float write_gain;
    float lfo_depth;
    float lfo_step;
    float lfo_phase;
    float integ;
    float delay[DELAY_SIZE + DELAY_GUARD];
    float in_hist[4];
    float phases[4];
};

inline constexpr int TUBE_COUNT = 4;

struct TubeBank {
    Tube tubes[TUBE_COUNT];

    // Builds tubes 1 to 4 in order, each completely before the next.
    TubeBank();
};

// A parameter field or cache that has never been applied holds a quiet NaN:
// it equals nothing, so the first value offered is always taken up.
float unset_value();

// Puts a tube in its construction state (including its first retune and the
// default decay and damping), exactly as a new bank does.
void construct_tube(Tube& tube);

// Set operations. Each but set_sample_rate compares first and does nothing
// when the tube already holds the value (float equality).
void set_note(Tube& tube, float value);
void set_transpose(Tube& tube, float value);
void set_decay(Tube& tube, float value);
void set_level(Tube& tube, float value);
void set_damping(Tube& tube, float value);
void set_sample_rate(Tube& tube, float rate);

// Shared second half of set_note and set_transpose.
void retune(Tube& tube);

// 0.001 ^ (length / divisor): the loop gain that makes the circulating signal
// fall by 60 dB in the decay time. Callers form the divisor in their own order.
float loop_gain(uint64_t length, float divisor);

// Keeps |feedback| below 1; any value inside the bounds, NaN included, passes.
float clamp_feedback(float gain);

// x rounded half away from zero into an unsigned count, saturating: NaN and
// negative values give 0, values beyond the 64-bit range the largest count.
uint64_t round_to_count(float x);

// The delay length, clamped to [MIN_LENGTH, MAX_LENGTH], that note + transpose
// asks for at sample_rate.
uint64_t requested_length(float note, float transpose, float sample_rate);
