#pragma once

// The lockstep engine: the four tubes run the same sub-step at once, one
// vector lane per tube. Each lane does the same IEEE operation, in the same
// order, as the tube-by-tube engine (engine/scalar_engine.cpp with
// engine/sample_steps.h), so every lane gives the tube-by-tube engine's bits;
// the fused operations are fused in both (engine/lane_fma.h). A branch of the
// scalar code becomes a lane mask where both sides give the same bits.
//
// This header is compiled once per instruction set (engine/lockstep_*.cpp).
// Everything in it is static and forced inline, so no copy built for one
// instruction set can be linked into a caller built for another.

#include <cstdint>

#include "engine/glide.h"
#include "engine/lane_fma.h"
#include "engine/lanes.h"
#include "engine/sample_steps.h"
#include "engine/scalar_engine.h"
#include "engine/tube_bank.h"

#if defined(__SSE__)
#include <xmmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#define LANE_INLINE static inline __attribute__((always_inline))

namespace lockstep {

LANE_INLINE F32x4 splat(float x)
{
    return F32x4{x, x, x, x};
}

LANE_INLINE F64x4 splat(double x)
{
    return F64x4{x, x, x, x};
}

LANE_INLINE I32x4 splat(int32_t x)
{
    return I32x4{x, x, x, x};
}

LANE_INLINE bool any(I32x4 mask)
{
    return (mask[0] | mask[1] | mask[2] | mask[3]) != 0;
}

LANE_INLINE F32x4 load(const float* p)
{
    F32x4 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

LANE_INLINE F32x4 abs(F32x4 x)
{
    return (F32x4)((I32x4)x & splat(0x7FFFFFFF));
}

LANE_INLINE F32x4 sqrt(F32x4 x)
{
#if defined(__SSE__)
    return (F32x4)_mm_sqrt_ps((__m128)x);
#elif defined(__aarch64__)
    return (F32x4)vsqrtq_f32((float32x4_t)x);
#else
    return F32x4{__builtin_sqrtf(x[0]), __builtin_sqrtf(x[1]), __builtin_sqrtf(x[2]),
                 __builtin_sqrtf(x[3])};
#endif
}

// Rows in, columns out: c_j[k] = r_k[j].
LANE_INLINE void transpose(F32x4 r0, F32x4 r1, F32x4 r2, F32x4 r3, F32x4& c0, F32x4& c1,
                           F32x4& c2, F32x4& c3)
{
    const F32x4 t0 = __builtin_shuffle(r0, r1, I32x4{0, 4, 1, 5});
    const F32x4 t1 = __builtin_shuffle(r2, r3, I32x4{0, 4, 1, 5});
    const F32x4 t2 = __builtin_shuffle(r0, r1, I32x4{2, 6, 3, 7});
    const F32x4 t3 = __builtin_shuffle(r2, r3, I32x4{2, 6, 3, 7});
    c0 = __builtin_shuffle(t0, t1, I32x4{0, 1, 4, 5});
    c1 = __builtin_shuffle(t0, t1, I32x4{2, 3, 6, 7});
    c2 = __builtin_shuffle(t2, t3, I32x4{0, 1, 4, 5});
    c3 = __builtin_shuffle(t2, t3, I32x4{2, 3, 6, 7});
}

template <class T, class V>
LANE_INLINE V gather_lanes(const T (&field)[TUBE_COUNT])
{
    return V{field[0], field[1], field[2], field[3]};
}

// The four tubes' state while the engine runs, held in lanes. The fields that
// only a glide arrival reads (decay_time, sample_rate) stay in the bank.
struct Lanes {
    F32x4 gain;
    F32x4 hist[4];    // hist[a]: every tube's input of age a, oldest first
    F32x4 phases[4];  // phases[j]: every tube's position of sub-step j
    F32x4 lfo_phase, lfo_step, lfo_depth;
    F32x4 read_pos, read_speed;
    F32x4 integ, feedback;
    F32x4 highpass_coef, highpass_state, damping_coef, damping_state, write_gain;
    I32x4 write_index;
    // Glide state: the lengths fit 32-bit lanes (1..6000 measured, 121..5999
    // requested), and gliding is a lane mask.
    I32x4 gliding, length, glide_target, pending;
    bool glide_busy;  // some lane glides or has a request waiting
};

// The lockstep engine takes the bank only when every lane is within the
// ranges the engine itself keeps: indices and lengths that fit 32-bit lanes.
// Anything else (a bank a test put together by hand) runs tube by tube.
LANE_INLINE bool fits_lanes(const TubeBank& bank)
{
    for (int k = 0; k < TUBE_COUNT; ++k) {
        if (bank.write_index[k] >= DELAY_SIZE || bank.length[k] > DELAY_SIZE ||
            bank.glide_target[k] > DELAY_SIZE || bank.pending_length[k] > DELAY_SIZE ||
            !(bank.read_pos[k] >= 0.0f && bank.read_pos[k] < DELAY_SPAN)) {
            return false;
        }
    }
    return true;
}

LANE_INLINE I32x4 lane_counts(const uint64_t (&field)[TUBE_COUNT])
{
    return I32x4{static_cast<int32_t>(field[0]), static_cast<int32_t>(field[1]),
                 static_cast<int32_t>(field[2]), static_cast<int32_t>(field[3])};
}

LANE_INLINE void store_counts(uint64_t (&field)[TUBE_COUNT], I32x4 lanes)
{
    for (int k = 0; k < TUBE_COUNT; ++k) {
        field[k] = static_cast<uint64_t>(static_cast<uint32_t>(lanes[k]));
    }
}

LANE_INLINE bool glide_busy(const Lanes& s)
{
    return any(s.gliding | (s.pending != splat(0)));
}

LANE_INLINE Lanes load_lanes(const TubeBank& bank)
{
    Lanes s;
    s.gain = load(bank.gain);
    for (int a = 0; a < 4; ++a) {
        s.hist[a] = F32x4{bank.in_hist[0][a], bank.in_hist[1][a], bank.in_hist[2][a],
                          bank.in_hist[3][a]};
        s.phases[a] = F32x4{bank.phases[0][a], bank.phases[1][a], bank.phases[2][a],
                            bank.phases[3][a]};
    }
    s.lfo_phase = load(bank.lfo_phase);
    s.lfo_step = load(bank.lfo_step);
    s.lfo_depth = load(bank.lfo_depth);
    s.read_pos = load(bank.read_pos);
    s.read_speed = load(bank.read_speed);
    s.integ = load(bank.integ);
    s.feedback = load(bank.feedback);
    s.highpass_coef = load(bank.highpass_coef);
    s.highpass_state = load(bank.highpass_state);
    s.damping_coef = load(bank.damping_coef);
    s.damping_state = load(bank.damping_state);
    s.write_gain = load(bank.write_gain);
    s.write_index = lane_counts(bank.write_index);
    s.gliding = I32x4{-bank.gliding[0], -bank.gliding[1], -bank.gliding[2], -bank.gliding[3]};
    s.length = lane_counts(bank.length);
    s.glide_target = lane_counts(bank.glide_target);
    s.pending = lane_counts(bank.pending_length);
    s.glide_busy = glide_busy(s);
    return s;
}

LANE_INLINE void store_lanes(TubeBank& bank, const Lanes& s)
{
    for (int k = 0; k < TUBE_COUNT; ++k) {
        for (int a = 0; a < 4; ++a) {
            bank.in_hist[k][a] = s.hist[a][k];
        }
        bank.lfo_phase[k] = s.lfo_phase[k];
        bank.read_pos[k] = s.read_pos[k];
        bank.read_speed[k] = s.read_speed[k];
        bank.integ[k] = s.integ[k];
        bank.feedback[k] = s.feedback[k];
        bank.highpass_state[k] = s.highpass_state[k];
        bank.damping_state[k] = s.damping_state[k];
        bank.gliding[k] = s.gliding[k] != 0;
    }
    store_counts(bank.write_index, s.write_index);
    store_counts(bank.length, s.length);
    store_counts(bank.glide_target, s.glide_target);
    store_counts(bank.pending_length, s.pending);
}

// Glide arrivals of one 16-frame block, kept per tube and written at the end
// of the block: the tube-by-tube engine writes tube 1's lines of a block
// before tube 2's, and the log must read the same.
struct ArrivalLog {
    // A request is only made by the control step, so a tube arrives at most
    // twice per run; the room is generous.
    static constexpr int ROOM = 2 * BLOCK_FRAMES;
    float feedback[TUBE_COUNT][ROOM];
    uint64_t length[TUBE_COUNT][ROOM];
    int count[TUBE_COUNT];
};

LANE_INLINE void flush(ArrivalLog& log)
{
    for (int k = 0; k < TUBE_COUNT; ++k) {
        for (int n = 0; n < log.count[k]; ++n) {
            log_feedback(log.feedback[k][n], log.length[k][n]);
        }
        log.count[k] = 0;
    }
}

// The glide step of every lane, after the write index has advanced and
// before the read position does.
LANE_INLINE void glide_step(Lanes& s, const TubeBank& bank, ArrivalLog& log)
{
    if (!s.glide_busy) {
        return;
    }
    // Measured length, for the lanes that glide: the write index minus the
    // read slot, wrapped when the read position is not behind the write.
    const I32x4 slot = __builtin_convertvector(s.read_pos, I32x4);
    const I32x4 wrapped =
        s.read_pos >= __builtin_convertvector(s.write_index, F32x4) ? splat(int32_t(DELAY_SIZE))
                                                                    : splat(0);
    const I32x4 measured = s.write_index - slot + wrapped;
    const I32x4 gliding = s.gliding;
    s.length = gliding ? measured : s.length;

    // A lane at rest takes a waiting request up; the direction is chosen
    // against the stored length.
    const I32x4 take_up = ~gliding & (s.pending != splat(0));
    if (any(take_up)) {
        const F32x4 speed = s.pending > s.length ? splat(SPEED_GROW) : splat(SPEED_SHRINK);
        s.glide_target = take_up ? s.pending : s.glide_target;
        s.read_speed = take_up ? speed : s.read_speed;
        s.pending = take_up ? splat(0) : s.pending;
        s.gliding = s.gliding | take_up;
    }

    const I32x4 arrived = gliding & (measured == s.glide_target);
    if (any(arrived)) {
        s.gliding = s.gliding & ~arrived;
        s.read_speed = arrived ? splat(SPEED_REST) : s.read_speed;
        // The rare event: a powf and a log line, in scalar code for that lane.
        for (int k = 0; k < TUBE_COUNT; ++k) {
            if (arrived[k] != 0) {
                const auto length = static_cast<uint64_t>(measured[k]);
                const float feedback =
                    arrival_feedback(length, bank.decay_time[k], bank.sample_rate[k]);
                s.feedback[k] = feedback;
                const int n = log.count[k]++;
                log.feedback[k][n] = feedback;
                log.length[k][n] = length;
            }
        }
    }
    s.glide_busy = glide_busy(s);
}

// The upsampler's coefficients of one frame, for all lanes.
struct Upsampled {
    F32x4 c3, c2, c1, c0;
};

LANE_INLINE Upsampled upsampler_for(const F32x4 h[4])
{
    Upsampled u;
    u.c3 = (h[1] - h[2]) * 0.5f + (h[3] - h[0]) * SIXTH;
    u.c2 = (h[0] + h[2]) * 0.5f - h[1];
    u.c1 = (h[2] - h[0]) * 0.5f;
    u.c0 = h[1] * TWO_THIRDS + (h[0] + h[2]) * SIXTH;
    return u;
}

// Six-point quintic B-spline, every lane at its own position of its own line.
LANE_INLINE F32x4 read_delay(const TubeBank& bank, I32x4 index, F32x4 f)
{
    const float* line0 = &bank.delay[0][index[0]];
    const float* line1 = &bank.delay[1][index[1]];
    const float* line2 = &bank.delay[2][index[2]];
    const float* line3 = &bank.delay[3][index[3]];
    F32x4 p0, p1, p2, p3, p4, p5, q2, q3;
    transpose(load(line0), load(line1), load(line2), load(line3), p0, p1, p2, p3);
    transpose(load(line0 + 2), load(line1 + 2), load(line2 + 2), load(line3 + 2), q2, q3, p4, p5);

    const F32x4 e5 =
        (p3 - p2) * TWELFTH + (p1 - p4) * TWENTY_FOURTH + (p5 - p0) * HUNDRED_TWENTIETH;
    const F32x4 e4 = p2 * 0.25f + (p0 + p4) * TWENTY_FOURTH - (p1 + p3) * SIXTH;
    const F32x4 e3 = (p4 - p0) * TWELFTH - (p3 - p1) * SIXTH;
    const F32x4 e2 = (p0 + p4) * TWELFTH + (p1 + p3) * SIXTH - p2 * 0.5f;
    const F32x4 e1 = (p3 - p1) * FIVE_TWELFTHS + (p4 - p0) * TWENTY_FOURTH;
    const F32x4 e0 =
        p2 * 0.55f + (p1 + p3) * THIRTEEN_SIXTIETHS + (p0 + p4) * HUNDRED_TWENTIETH;
    return ((((e5 * f + e4) * f + e3) * f + e2) * f + e1) * f + e0;
}

// One sub-step of all four tubes; returns the DC-free delay outputs.
LANE_INLINE F32x4 sub_step(Lanes& s, TubeBank& bank, ArrivalLog& log, const Upsampled& in,
                           F32x4 t)
{
    const F32x4 u = ((in.c3 * t + in.c2) * t + in.c1) * t;

    // Triangle modulator.
    F32x4 phase = s.lfo_phase + s.lfo_step;
    phase = phase < 1.0f ? phase : phase - 2.0f;
    s.lfo_phase = phase;
    const F32x4 modulation = abs(phase);

    // Read position, wrapped once; its integer part and exact fraction.
    F32x4 q = fused(s.lfo_depth, modulation + 1.0f, s.read_pos + 1.0f);
    q = q >= DELAY_SPAN ? q - DELAY_SPAN : q;
    const I32x4 index = __builtin_convertvector(q, I32x4);
    const F32x4 f = q - __builtin_convertvector(index, F32x4);
    const F32x4 v = read_delay(bank, index, f);

    // DC blocker in four double lanes.
    const F64x4 product = DC_POLE * __builtin_convertvector(s.integ, F64x4);
    const F32x4 y = __builtin_convertvector(
        fused(splat(DC_GAIN), __builtin_convertvector(v, F64x4), product), F32x4);
    const F32x4 d = y - s.integ;
    s.integ = y;

    // Loop input and the two loop filters.
    const F32x4 x = fused(s.feedback, d, u) + in.c0;
    const F32x4 k = s.highpass_coef;
    const F32x4 a_minus_x = s.highpass_state - x;
    const F32x4 lowpassed = fused(k, a_minus_x, x);
    const F32x4 damped =
        fused(-k, a_minus_x, s.damping_coef * fused(k, a_minus_x, s.damping_state));
    s.highpass_state = lowpassed;
    s.damping_state = damped;

    // Write: each lane at its own index, and at its guard copy when the index
    // is below 5 (otherwise the same slot once more).
    const F32x4 value = damped * s.write_gain;
    const I32x4 w = s.write_index;
    const I32x4 guard = w < splat(int32_t(DELAY_GUARD)) ? w + int32_t(DELAY_SIZE) : w;
    for (int lane = 0; lane < TUBE_COUNT; ++lane) {
        bank.delay[lane][w[lane]] = value[lane];
        bank.delay[lane][guard[lane]] = value[lane];
    }
    const I32x4 next = w + 1;
    s.write_index = next == splat(int32_t(DELAY_SIZE)) ? splat(0) : next;

    glide_step(s, bank, log);

    const F32x4 r = s.read_pos + s.read_speed;
    s.read_pos = r < DELAY_SPAN ? r : r - DELAY_SPAN;
    return d;
}

LANE_INLINE F32x4 frame(Lanes& s, TubeBank& bank, ArrivalLog& log, F32x4 input)
{
    const F32x4 g = s.gain;
    s.hist[0] = s.hist[1];
    s.hist[1] = s.hist[2];
    s.hist[2] = s.hist[3];
    s.hist[3] = input;
    const Upsampled in = upsampler_for(s.hist);
    F32x4 d = sub_step(s, bank, log, in, s.phases[0]);
    d = sub_step(s, bank, log, in, s.phases[1]);
    d = sub_step(s, bank, log, in, s.phases[2]);
    d = sub_step(s, bank, log, in, s.phases[3]);
    return d / sqrt(fused(d, d, splat(1.0f))) * g;
}

LANE_INLINE void run_frames(TubeBank& bank, const float* const input[TUBE_COUNT],
                            float* const output[TUBE_COUNT], uint32_t frame_count)
{
    if (frame_count == 0) {
        return;
    }
    if (!fits_lanes(bank)) {
        scalar_frames(bank, input, output, frame_count);
        return;
    }
    Lanes s = load_lanes(bank);
    ArrivalLog log;
    for (int k = 0; k < TUBE_COUNT; ++k) {
        log.count[k] = 0;
    }
    // As tube by tube: a block's inputs are all read before any of its
    // outputs is written, since a host may alias them.
    F32x4 block[BLOCK_FRAMES];
    for (uint32_t start = 0; start < frame_count; start += BLOCK_FRAMES) {
        const uint32_t frames =
            frame_count - start < BLOCK_FRAMES ? frame_count - start : BLOCK_FRAMES;
        for (uint32_t n = 0; n < frames; ++n) {
            block[n] = F32x4{input[0][start + n], input[1][start + n], input[2][start + n],
                             input[3][start + n]};
        }
        for (uint32_t n = 0; n < frames; ++n) {
            block[n] = frame(s, bank, log, block[n]);
        }
        for (int k = 0; k < TUBE_COUNT; ++k) {
            float* out = output[k] + start;
            for (uint32_t n = 0; n < frames; ++n) {
                out[n] = block[n][k];
            }
        }
        flush(log);
    }
    store_lanes(bank, s);
}

}  // namespace lockstep
