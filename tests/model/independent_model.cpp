#include "independent_model.h"

#include <math.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace model {
namespace {

const float UNSET = std::numeric_limits<float>::quiet_NaN();
const float FEEDBACK_LIMIT = 0.99999f;
const float SPEED_REST = 1.0f, SPEED_GROW = 0.9f, SPEED_SHRINK = 1.11f;
const uint64_t SLOTS = 6000;
const double DC_POLE = 0.9968707592884718;
const double DC_GAIN = 0.9984353796442359;

// Round half away from zero into an unsigned 64-bit count: NaN and negatives
// give 0, anything at or past 2^64 the largest count.
uint64_t to_count(float x)
{
    if (!(x > 0.0f)) return 0;
    float r = std::round(x);
    if (r >= 18446744073709551616.0f) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(r);
}

float clamp_feedback(float g)
{
    if (g < -FEEDBACK_LIMIT) return -FEEDBACK_LIMIT;
    if (g > FEEDBACK_LIMIT) return FEEDBACK_LIMIT;
    return g;
}

float loop_gain(uint64_t length, float divisor)
{
    return ::powf(0.001f, static_cast<float>(length) / divisor);
}

}  // namespace

void Instance::log_feedback(float feedback, uint64_t length)
{
    if (1 > log_level_) return;
    char line[128];
    std::snprintf(line, sizeof line, "fdbk: %f sz: %d", static_cast<double>(feedback),
                  static_cast<int>(length));
    log_.push_back(line);
}

Instance::Instance(double host_rate, const char* log_file) : tubes_(4)
{
    // read_log_level: the file's presence switches the log on, its first
    // integer (or 1 when there is none) sets the level.
    if (log_file) {
        int level = 0;
        log_level_ = std::sscanf(log_file, "%d", &level) == 1 ? level : 1;
        if (0 <= log_level_) log_.push_back("### log is active now ### ");
    }
    for (float& c : cache_) c = UNSET;

    for (Tube& t : tubes_) {
        std::memset(&t, 0, sizeof t);
        t.note = 60.0f;
        t.transpose = UNSET;
        t.decay = UNSET;
        t.damping_hz = UNSET;
        t.level_db = 0.0f;
        t.gain = 1.0f;
        t.damping_coef = 0.20787957f;
        t.highpass_coef = 0.99738544f;
        t.sample_rate = 48000.0f;
        t.feedback = 0.0f;
        t.length = 3000;
        t.gliding = false;
        t.read_speed = SPEED_REST;
        t.write_gain = 1.0f;
        t.lfo_depth = 1.5f;
        t.lfo_step = 1.0f / 24000.0f;
        t.phases[0] = 0.25f;
        t.phases[1] = 0.5f;
        t.phases[2] = 0.75f;
        t.phases[3] = 1.0f;
        retune(t);
        set_decay(t, 100.0f);
        set_damping(t, 12000.0f);
    }
    const float default_notes[4] = {60.0f, 64.0f, 67.0f, 72.0f};
    for (int i = 0; i < 4; ++i) set_note(tubes_[i], default_notes[i]);
    const float rate = static_cast<float>(host_rate);
    for (Tube& t : tubes_) t.sample_rate = rate;
}

void Instance::set_note(Tube& t, float v)
{
    if (v == t.note) return;
    t.note = v;
    retune(t);
}

void Instance::set_transpose(Tube& t, float v)
{
    if (v == t.transpose) return;
    t.transpose = v;
    retune(t);
}

void Instance::retune(Tube& t)
{
    const float n = std::round(t.note + t.transpose);
    const float p = ::powf(1.0594631f, 69.0f - n);
    const float x = (t.sample_rate * 0.00909091f) * p;
    uint64_t len = to_count(x);
    if (len < 121) len = 121;
    if (len >= 6000) len = 5999;
    // A request for the length the tube is at or heading for is no request; it
    // also withdraws an older one, so the latest note always wins. Before the
    // first glide the length 3000 is only provisional and is requested anyway.
    const uint64_t heading_for = t.gliding ? t.glide_target : t.length;
    if (t.glide_target != 0 && len == heading_for) {
        t.pending_length = 0;
    } else {
        t.pending_length = len;
    }
    t.decay_time = t.decay * 4.0f;
    const float g = loop_gain(t.length, (t.sample_rate * 0.001f) * t.decay_time);
    t.feedback = clamp_feedback(g);
    log_feedback(t.feedback, t.length);
}

void Instance::set_decay(Tube& t, float v)
{
    if (v == t.decay) return;
    t.decay = v;
    t.decay_time = v * 4.0f;
    const float g = loop_gain(t.length, (t.decay_time * 0.001f) * t.sample_rate);
    t.feedback = -clamp_feedback(g);
    log_feedback(t.feedback, t.length);
}

void Instance::set_level(Tube& t, float v)
{
    if (v == t.level_db) return;
    if (v > -120.0f) {
        t.level_db = v;
        t.gain = ::powf(10.0f, v * 0.05f);
    } else {
        t.gain = 0.0f;
        t.level_db = v;
    }
}

void Instance::set_damping(Tube& t, float v)
{
    if (v == t.damping_hz) return;
    t.damping_hz = v;
    t.damping_coef = ::expf(v * -0.0001308997f);
}

void Instance::glide_update(Tube& t)
{
    if (!t.gliding) {
        if (t.pending_length == 0) return;
        t.glide_target = t.pending_length;
        t.read_speed = t.pending_length > t.length ? SPEED_GROW : SPEED_SHRINK;
        t.gliding = true;
        t.pending_length = 0;
        return;
    }
    uint64_t measured = t.write_index - static_cast<uint64_t>(static_cast<int64_t>(t.read_pos));
    if (!(t.read_pos < static_cast<float>(t.write_index))) measured += SLOTS;
    t.length = measured;
    if (measured != t.glide_target) return;
    t.gliding = false;
    t.read_speed = SPEED_REST;
    const float g = clamp_feedback(loop_gain(measured, (t.decay_time * t.sample_rate) * 0.001f));
    t.feedback = g;
    log_feedback(g, measured);
}

// One sub-step; returns the DC-free delay output d.
float Instance::sub_step(Tube& t, float phase)
{
    const float h0 = t.in_hist[0], h1 = t.in_hist[1], h2 = t.in_hist[2], h3 = t.in_hist[3];
    const float sixth = 1.0f / 6.0f;
    const float c3 = (h1 - h2) * 0.5f + (h3 - h0) * sixth;
    const float c2 = (h0 + h2) * 0.5f - h1;
    const float c1 = (h2 - h0) * 0.5f;
    const float c0 = h1 * (2.0f / 3.0f) + (h0 + h2) * sixth;
    const float u = ((c3 * phase + c2) * phase + c1) * phase;

    float lfo = t.lfo_phase + t.lfo_step;
    if (!(lfo < 1.0f)) lfo = lfo - 2.0f;
    t.lfo_phase = lfo;
    const float m = std::fabs(lfo);

    float q = std::fma(t.lfo_depth, m + 1.0f, t.read_pos + 1.0f);
    if (q >= 6000.0f) q = q - 6000.0f;
    float whole;
    const float f = ::modff(q, &whole);
    const float* p = &t.delay[static_cast<uint64_t>(whole)];

    const float e5 = (p[3] - p[2]) * (1.0f / 12.0f) + (p[1] - p[4]) * (1.0f / 24.0f) +
                     (p[5] - p[0]) * (1.0f / 120.0f);
    const float e4 = p[2] * 0.25f + (p[0] + p[4]) * (1.0f / 24.0f) - (p[1] + p[3]) * sixth;
    const float e3 = (p[4] - p[0]) * (1.0f / 12.0f) - (p[3] - p[1]) * sixth;
    const float e2 = (p[0] + p[4]) * (1.0f / 12.0f) + (p[1] + p[3]) * sixth - p[2] * 0.5f;
    const float e1 = (p[3] - p[1]) * (5.0f / 12.0f) + (p[4] - p[0]) * (1.0f / 24.0f);
    const float e0 =
        p[2] * 0.55f + (p[1] + p[3]) * (13.0f / 60.0f) + (p[0] + p[4]) * (1.0f / 120.0f);
    const float v = ((((e5 * f + e4) * f + e3) * f + e2) * f + e1) * f + e0;

    const float y = static_cast<float>(
        std::fma(DC_GAIN, static_cast<double>(v), DC_POLE * static_cast<double>(t.integ)));
    const float d = y - t.integ;
    t.integ = y;

    const float x = std::fma(t.feedback, d, u) + c0;

    const float k = t.highpass_coef, c = t.damping_coef;
    const float a_minus_x = t.highpass_state - x;
    const float b = t.damping_state;
    t.highpass_state = std::fma(k, a_minus_x, x);
    t.damping_state = std::fma(-k, a_minus_x, c * std::fma(k, a_minus_x, b));

    const uint64_t w = t.write_index;
    const float written = t.damping_state * t.write_gain;
    t.delay[w] = written;
    if (w <= 4) t.delay[SLOTS + w] = written;
    t.write_index = w + 1 == SLOTS ? 0 : w + 1;

    glide_update(t);

    const float r = t.read_pos + t.read_speed;
    t.read_pos = r < 6000.0f ? r : r - 6000.0f;
    return d;
}

float Instance::frame(Tube& t, float input)
{
    const float g = t.gain;
    t.in_hist[0] = t.in_hist[1];
    t.in_hist[1] = t.in_hist[2];
    t.in_hist[2] = t.in_hist[3];
    t.in_hist[3] = input;
    float d = 0.0f;
    for (int k = 0; k < 4; ++k) d = sub_step(t, t.phases[k]);
    return (d / std::sqrt(std::fma(d, d, 1.0f))) * g;
}

void Instance::run(const float (&controls)[CONTROL_COUNT], const float* const in[4],
                   float* const out[4], uint32_t n)
{
    // The control step, in its fixed order: transpose, decay, level, damping,
    // then the notes.
    const Control order[] = {TRANSPOSE, DECAY, LEVEL, DAMPING, NOTE_1, NOTE_2, NOTE_3, NOTE_4};
    for (Control c : order) {
        const float v = controls[c];
        if (v == cache_[c]) continue;
        cache_[c] = v;
        switch (c) {
        case TRANSPOSE:
            for (Tube& t : tubes_) set_transpose(t, v);
            break;
        case DECAY:
            for (Tube& t : tubes_) set_decay(t, v);
            break;
        case LEVEL:
            for (Tube& t : tubes_) set_level(t, v);
            break;
        case DAMPING:
            for (Tube& t : tubes_) set_damping(t, v);
            break;
        default:
            set_note(tubes_[c - NOTE_1], v);
            break;
        }
    }

    // Blocks of 16 frames, tube after tube within a block: the order decides the
    // order of the glide's log lines.
    for (uint32_t start = 0; start < n; start += 16) {
        const uint32_t len = n - start < 16 ? n - start : 16;
        for (int i = 0; i < 4; ++i) {
            for (uint32_t s = start; s < start + len; ++s) out[i][s] = frame(tubes_[i], in[i][s]);
        }
    }
}

}  // namespace model
