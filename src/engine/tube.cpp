#include "engine/tube.h"

#include <math.h>

#include <cmath>
#include <limits>

#include "diag/debug_log.h"
#include "engine/glide.h"
#include "engine/in_tune.h"

namespace {

// Single-precision constants, written as the literals that produce them.
constexpr float SEMITONE = 1.0594631f;        // 2^(1/12)
constexpr float PERIOD_PER_HZ = 0.00909091f;  // 4 / 440: sub-steps per period of note 69
constexpr float A4_NOTE = 69.0f;
constexpr float SECONDS_PER_MS = 0.001f;
constexpr float FALL_60_DB = 0.001f;     // the ratio the loop falls by in the decay time
constexpr float DB_TO_EXPONENT = 0.05f;  // dB / 20
// About -2*pi/48000: the damping pole assumes a 48 kHz rate whatever the
// host's, and runs once per sub-step, so at 48 kHz the corner lies at four
// times the damping control's value.
constexpr float DAMPING_FACTOR = -0.0001308997f;
// decay_time is the decay control times the sub-steps per sample.
constexpr float DECAY_SCALE = static_cast<float>(SUB_STEPS);

// The lowest note the controls offer, whose loop a line in tune must hold.
constexpr float LOWEST_NOTE = 24.0f;

constexpr float START_NOTE = 60.0f;
constexpr float START_DAMPING_COEF = 0.20787957f;
constexpr float DEFAULT_DECAY = 100.0f;
constexpr float DEFAULT_DAMPING = 12000.0f;

}  // namespace

float unset_value()
{
    return std::numeric_limits<float>::quiet_NaN();
}

void construct_tube(Tube& tube)
{
    // Value-initialised: every field not set below starts at zero, padding
    // included, so that records compare whole.
    tube = Tube();
    tube.note = START_NOTE;
    tube.transpose = unset_value();
    tube.decay = unset_value();
    tube.damping_hz = unset_value();
    tube.gain = 1.0f;
    tube.damping_coef = START_DAMPING_COEF;
    tube.sample_rate = START_RATE;
    tube.length = START_LENGTH;
    tube.read_speed = 1.0f;
    tube.line_size = DELAY_SIZE;
    forget_tuning(tube);

    // With transpose unset this requests the shortest length and leaves a NaN
    // feedback that the default decay replaces at once.
    retune(tube);
    set_decay(tube, DEFAULT_DECAY);
    set_damping(tube, DEFAULT_DAMPING);
}

float loop_gain(uint64_t length, float sample_rate, float decay_time, GainOrder order)
{
    float divisor = 0.0f;
    switch (order) {
    case GainOrder::RETUNE:
        divisor = (sample_rate * SECONDS_PER_MS) * decay_time;
        break;
    case GainOrder::DECAY_CHANGE:
        divisor = (decay_time * SECONDS_PER_MS) * sample_rate;
        break;
    case GainOrder::GLIDE_ARRIVAL:
        divisor = (decay_time * sample_rate) * SECONDS_PER_MS;
        break;
    }
    return powf(FALL_60_DB, static_cast<float>(length) / divisor);
}

float clamp_feedback(float gain)
{
    if (gain < -FEEDBACK_LIMIT) {
        return -FEEDBACK_LIMIT;
    }
    if (gain > FEEDBACK_LIMIT) {
        return FEEDBACK_LIMIT;
    }
    return gain;
}

float feedback_for(float gain, FeedbackSign sign)
{
    const float clamped = clamp_feedback(gain);
    return sign == FeedbackSign::INVERTED ? -clamped : clamped;
}

float arrival_feedback(uint64_t length, float decay_time, float sample_rate)
{
    const float gain = loop_gain(length, sample_rate, decay_time, GainOrder::GLIDE_ARRIVAL);
    return feedback_for(gain, FeedbackSign::IN_PHASE);
}

void log_feedback(float feedback, uint64_t length)
{
    debug_log(1, "fdbk: %f sz: %d", static_cast<double>(feedback), static_cast<int>(length));
}

uint64_t round_to_count(float x)
{
    // Written so that NaN fails the test: converting NaN, a negative or an
    // out-of-range float to an unsigned integer is undefined in C++.
    if (!(x > 0.0f)) {
        return 0;
    }
    const float rounded = std::round(x);  // halves away from zero
    if (rounded >= 18446744073709551616.0f) {
        return std::numeric_limits<uint64_t>::max();
    }
    return static_cast<uint64_t>(rounded);
}

uint64_t requested_length(float note, float transpose, float sample_rate)
{
    const float n = std::round(note + transpose);
    const float p = powf(SEMITONE, A4_NOTE - n);
    const float x = (sample_rate * PERIOD_PER_HZ) * p;
    const uint64_t length = round_to_count(x);
    if (length < MIN_LENGTH) {
        return MIN_LENGTH;
    }
    if (length > MAX_LENGTH) {
        return MAX_LENGTH;
    }
    return length;
}

void forget_tuning(Tube& tube)
{
    for (float& distance : tube.tuned.distance) {
        distance = unset_value();
    }
}

namespace {

// The in-tune distance of the tube's note, from the memo when it holds it.
// in_tune_distance depends on the note only through its nearest whole
// number, which is the memo's index, so a remembered distance is the very
// value a fresh one would be.
float tuned_distance(Tube& tube)
{
    const float sum = tube.note + tube.transpose;
    const float note = std::round(sum);
    if (!(note >= 0.0f && note < static_cast<float>(MEMO_NOTES))) {
        return in_tune_distance(sum, tube.sample_rate, tube.damping_coef, tube.decay);
    }
    float& remembered = tube.tuned.distance[static_cast<int>(note)];
    if (std::isnan(remembered)) {
        remembered = in_tune_distance(sum, tube.sample_rate, tube.damping_coef, tube.decay);
    }
    return remembered;
}

}  // namespace

namespace {

// Requests the length for the tube's note: in tune, the one of `distance`
// (none when it is not above zero), else the whole sub-steps.
void request_length_at(Tube& tube, float distance)
{
    uint64_t length = requested_length(tube.note, tube.transpose, tube.sample_rate);
    if (tube.tuning == TUNING_IN_TUNE) {
        if (distance > 0.0f) {
            // The glide arrives when its measured length, a whole number of
            // sub-steps, first equals the distance rounded up.
            length = static_cast<uint64_t>(std::ceil(distance));
        }
    } else {
        distance = 0.0f;
    }

    // A request for the length the tube is at or already heading for
    // withdraws any older request, so the tube always ends at the length its
    // latest controls ask for. A tube that has never glided only holds the
    // provisional start length, so it always gets its request.
    const uint64_t heading_for = tube.gliding ? tube.glide_target : tube.length;
    if (tube.glide_target != 0 && length == heading_for) {
        tube.pending_length = 0;
        tube.pending_distance = 0.0f;
        // In tune, the fraction still moves: a glide under way lands on it,
        // a tube at rest goes there now. Before the next sub-step's write the
        // slot the glide measures from is one past the write index.
        if (tube.gliding) {
            tube.glide_distance = distance;
        } else {
            const float next_slot = static_cast<float>(tube.write_index + 1);
            tube.read_pos = landing_position(tube.read_pos, next_slot, distance,
                                             static_cast<float>(tube.line_size));
        }
    } else {
        tube.pending_length = length;
        tube.pending_distance = distance;
    }
}

}  // namespace

void request_length(Tube& tube)
{
    request_length_at(tube, tube.tuning == TUNING_IN_TUNE ? tuned_distance(tube) : 0.0f);
}

void take_distance(Tube& tube, const TuningQuestion& question, float distance)
{
    if (tube.tuning != TUNING_IN_TUNE ||
        std::round(tube.note + tube.transpose) != std::round(question.note) ||
        tube.sample_rate != question.sample_rate) {
        return;
    }
    const float note = std::round(question.note);
    if (note >= 0.0f && note < static_cast<float>(MEMO_NOTES)) {
        float& remembered = tube.tuned.distance[static_cast<int>(note)];
        // The tube has worked this note out under its present damping and
        // decay since it asked (the memo is emptied by every change of them):
        // that answer is the newer one.
        if (!std::isnan(remembered)) {
            return;
        }
        // Still the damping and decay it asked about: the very value it
        // would work out itself, so it is remembered as its own.
        if (tube.damping_coef == question.damping_coef && tube.decay == question.decay_ms) {
            remembered = distance;
        }
    }
    request_length_at(tube, distance);
}

bool remember_distances(Tube& tube, const TuningQuestion& question,
                        const float (&distance)[MEMO_NOTES])
{
    if (tube.sample_rate != question.sample_rate || tube.damping_coef != question.damping_coef ||
        tube.decay != question.decay_ms) {
        return false;
    }
    for (int note = 0; note < MEMO_NOTES; ++note) {
        float& remembered = tube.tuned.distance[note];
        if (std::isnan(remembered)) {
            remembered = distance[note];
        }
    }
    return true;
}

TuningQuestion tuning_question(float note, float transpose, float sample_rate, float damping_coef,
                               float decay)
{
    return {note + transpose, sample_rate, damping_coef, decay};
}

TuningQuestion tuning_question(const Tube& tube)
{
    return tuning_question(tube.note, tube.transpose, tube.sample_rate, tube.damping_coef,
                           tube.decay);
}

void retune(Tube& tube)
{
    request_length(tube);

    tube.decay_time = tube.decay * DECAY_SCALE;
    // The feedback follows the length the tube has now; the glide derives it
    // again when the requested length is reached.
    const float gain = loop_gain(tube.length, tube.sample_rate, tube.decay_time, GainOrder::RETUNE);
    tube.feedback = feedback_for(gain, FeedbackSign::IN_PHASE);
    log_feedback(tube.feedback, tube.length);
}

void set_note(Tube& tube, float value)
{
    if (value == tube.note) {
        return;
    }
    tube.note = value;
    retune(tube);
}

void set_transpose(Tube& tube, float value)
{
    if (value == tube.transpose) {
        return;
    }
    tube.transpose = value;
    retune(tube);
}

void set_decay(Tube& tube, float value)
{
    if (value == tube.decay) {
        return;
    }
    tube.decay = value;
    tube.decay_time = value * DECAY_SCALE;
    forget_tuning(tube);
    const float gain =
        loop_gain(tube.length, tube.sample_rate, tube.decay_time, GainOrder::DECAY_CHANGE);
    tube.feedback = feedback_for(gain, FeedbackSign::INVERTED);
    log_feedback(tube.feedback, tube.length);
}

void set_level(Tube& tube, float value)
{
    if (value == tube.level_db) {
        return;
    }
    tube.level_db = value;
    // -120 dB and below (and NaN) is silence rather than a tiny gain.
    tube.gain = value > SILENCE_DB ? powf(10.0f, value * DB_TO_EXPONENT) : 0.0f;
}

namespace {
// The damping's own fields, and the memo of distances worked out under the
// old one let go.
void change_damping(Tube& tube, float value)
{
    tube.damping_hz = value;
    // The pole assumes 48000 Hz whatever the host's rate.
    tube.damping_coef = expf(value * DAMPING_FACTOR);
    forget_tuning(tube);
}
}  // namespace

void set_damping(Tube& tube, float value)
{
    if (value == tube.damping_hz) {
        return;
    }
    change_damping(tube, value);
    // The damping filter's delay is part of every trip round the loop.
    if (tube.tuning == TUNING_IN_TUNE) {
        request_length(tube);
    }
}

void set_damping_later(Tube& tube, float value)
{
    if (value == tube.damping_hz) {
        return;
    }
    change_damping(tube, value);
}

void set_sample_rate(Tube& tube, float rate)
{
    tube.sample_rate = rate;
    tube.line_size = line_size_for(tube.tuning, rate);
    forget_tuning(tube);
}

void set_tuning(Tube& tube, float value)
{
    if (value == tube.tuning) {
        return;
    }
    tube.tuning = value;
    tube.line_size = line_size_for(value, tube.sample_rate);
    request_length(tube);
}

uint64_t line_size_for(float tuning, float sample_rate)
{
    // The lowest note's period in sub-steps, as a whole-step length is
    // worked out; its loop in tune is a little shorter.
    const float lowest_period =
        (sample_rate * PERIOD_PER_HZ) * powf(SEMITONE, A4_NOTE - LOWEST_NOTE);
    return tuning == TUNING_IN_TUNE && lowest_period > static_cast<float>(MAX_LENGTH)
               ? LONG_DELAY_SIZE
               : DELAY_SIZE;
}
