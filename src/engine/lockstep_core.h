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
#include "engine/lane_ops.h"
#include "engine/sample_steps.h"
#include "engine/scalar_engine.h"
#include "engine/tube_bank.h"

namespace lockstep {

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

// The delay read of one sub-step: every lane at its own position of its own
// line, six points loaded per lane and transposed into six vectors.
LANE_INLINE F32x4 read_delay(const TubeBank& bank, I32x4 index, F32x4 f)
{
    const float* line0 = &bank.delay[0][index[0]];
    const float* line1 = &bank.delay[1][index[1]];
    const float* line2 = &bank.delay[2][index[2]];
    const float* line3 = &bank.delay[3][index[3]];
    F32x4 p0, p1, p2, p3, p4, p5, q2, q3;
    transpose(load(line0), load(line1), load(line2), load(line3), p0, p1, p2, p3);
    transpose(load(line0 + 2), load(line1 + 2), load(line2 + 2), load(line3 + 2), q2, q3, p4, p5);
    return quintic(p0, p1, p2, p3, p4, p5, f);
}

// The delay reads of two sub-steps at once, in eight lanes.
LANE_INLINE F32x8 read_delay(const TubeBank& bank, I32x4 first, I32x4 second, F32x8 f)
{
    // Offsets from the first line, so that each lane's row is one load away.
    const I32x4 line_start = I32x4{0, 1, 2, 3} * int32_t(DELAY_STRIDE);
    const U32x4 a = (U32x4)(first + line_start);
    const U32x4 b = (U32x4)(second + line_start);
    const float* base = &bank.delay[0][0];
    F32x8 rows[TUBE_COUNT], shifted[TUBE_COUNT];
#pragma GCC unroll 4
    for (int k = 0; k < TUBE_COUNT; ++k) {
        rows[k] = join(base + a[k], base + b[k]);
        shifted[k] = join(base + a[k] + 2, base + b[k] + 2);
    }
    F32x8 p0, p1, p2, p3, p4, p5, q2, q3;
    transpose(rows[0], rows[1], rows[2], rows[3], p0, p1, p2, p3);
    transpose(shifted[0], shifted[1], shifted[2], shifted[3], q2, q3, p4, p5);
    return quintic(p0, p1, p2, p3, p4, p5, f);
}

// Triangle modulator of the read position.
LANE_INLINE F32x4 advance_lfo(Lanes& s)
{
    F32x4 phase = s.lfo_phase + s.lfo_step;
    phase = phase < 1.0f ? phase : phase - 2.0f;
    s.lfo_phase = phase;
    return abs(phase);
}

// Modulated read position, wrapped once: its integer part and its exact
// fraction.
LANE_INLINE void read_position(const Lanes& s, F32x4 modulation, I32x4& index, F32x4& f)
{
    F32x4 q = fused(s.lfo_depth, modulation + 1.0f, s.read_pos + 1.0f);
    q = q >= DELAY_SPAN ? q - DELAY_SPAN : q;
    index = __builtin_convertvector(q, I32x4);
    f = q - __builtin_convertvector(index, F32x4);
}

LANE_INLINE void advance_read(Lanes& s)
{
    const F32x4 r = s.read_pos + s.read_speed;
    s.read_pos = r < DELAY_SPAN ? r : r - DELAY_SPAN;
}

// The loop of one sub-step after the read: DC blocker in four double lanes,
// the loop input, the two loop filters. Returns the DC-free delay output d
// and leaves the value to write in `value`.
LANE_INLINE F32x4 close_loop(Lanes& s, F32x4 u, F32x4 c0, F32x4 v, F32x4& value)
{
    using lane_fma_detail::widen;
    const F64x4 product = DC_POLE * widen(s.integ);
    const F32x4 y = fused_narrowed(splat(DC_GAIN), widen(v), product);
    const F32x4 d = y - s.integ;
    s.integ = y;

    const F32x4 x = fused(s.feedback, d, u) + c0;
    const F32x4 k = s.highpass_coef;
    const F32x4 a_minus_x = s.highpass_state - x;
    const F32x4 lowpassed = fused(k, a_minus_x, x);
    const F32x4 damped =
        fused(-k, a_minus_x, s.damping_coef * fused(k, a_minus_x, s.damping_state));
    s.highpass_state = lowpassed;
    s.damping_state = damped;
    value = damped * s.write_gain;
    return d;
}

// Each lane writes at its own index, and at its guard copy when the index is
// below 5 (otherwise the same slot once more).
LANE_INLINE void write_lanes(Lanes& s, TubeBank& bank, F32x4 value)
{
    const I32x4 w = s.write_index;
    const I32x4 guard = w < splat(int32_t(DELAY_GUARD)) ? w + int32_t(DELAY_SIZE) : w;
    for (int lane = 0; lane < TUBE_COUNT; ++lane) {
        bank.delay[lane][w[lane]] = value[lane];
        bank.delay[lane][guard[lane]] = value[lane];
    }
    const I32x4 next = w + 1;
    s.write_index = next == splat(int32_t(DELAY_SIZE)) ? splat(0) : next;
}

// All lanes write at one index: the usual case, since every tube starts at 0
// and advances one slot per sub-step.
LANE_INLINE void write_shared(uint32_t& w, TubeBank& bank, F32x4 value)
{
    for (int lane = 0; lane < TUBE_COUNT; ++lane) {
        bank.delay[lane][w] = value[lane];
    }
    if (w < DELAY_GUARD) {
        for (int lane = 0; lane < TUBE_COUNT; ++lane) {
            bank.delay[lane][DELAY_SIZE + w] = value[lane];
        }
    }
    w = w + 1 == DELAY_SIZE ? 0 : w + 1;
}

LANE_INLINE Cubic<F32x4> take_input(Lanes& s, F32x4 input)
{
    s.hist[0] = s.hist[1];
    s.hist[1] = s.hist[2];
    s.hist[2] = s.hist[3];
    s.hist[3] = input;
    return cubic_through(s.hist[0], s.hist[1], s.hist[2], s.hist[3]);
}

// d / sqrt(1 + d^2), scaled by the gain.
LANE_INLINE F32x4 output(F32x4 d, F32x4 g)
{
    return d / sqrt(fused(d, d, splat(1.0f))) * g;
}

// One frame, each sub-step in the order of the algorithm: any lane may glide.
// With SHARED, every lane writes at one index (see write_shared).
template <bool SHARED>
LANE_INLINE F32x4 frame(Lanes& s, TubeBank& bank, ArrivalLog& log, F32x4 input)
{
    const F32x4 g = s.gain;
    const Cubic<F32x4> in = take_input(s, input);
    F32x4 d;
#pragma GCC unroll 4
    for (int j = 0; j < SUB_STEPS; ++j) {
        I32x4 index;
        F32x4 f;
        read_position(s, advance_lfo(s), index, f);
        const F32x4 v = read_delay(bank, index, f);
        F32x4 value;
        const F32x4 u = upsample(in.c3, in.c2, in.c1, s.phases[j]);
        d = close_loop(s, u, in.c0, v, value);
        if (SHARED) {
            uint32_t w = uint32_t(s.write_index[0]);
            write_shared(w, bank, value);
            s.write_index = splat(int32_t(w));
        } else {
            write_lanes(s, bank, value);
        }
        glide_step(s, bank, log);
        advance_read(s);
    }
    return output(d, g);
}

// Whether the frames of a block at rest may read all four sub-steps of a
// frame before they write: every lane's reads (one to about thirteen slots
// past its read slot) must lie clear of the three slots a frame writes before
// its last read. At speed 1.0 the distance from the read slot to the write
// index stays put but for a step of one where adding 1.0 to the read
// position rounds (at most a few times in a block), hence the margin.
LANE_INLINE bool reads_clear_of_writes(const Lanes& s, uint32_t w)
{
    const I32x4 slot = __builtin_convertvector(s.read_pos, I32x4);
    I32x4 distance = splat(int32_t(w)) - slot;
    distance = distance < splat(0) ? distance + int32_t(DELAY_SIZE) : distance;
    const I32x4 clear = (distance >= splat(24)) & (distance <= splat(int32_t(DELAY_SIZE) - 12));
    return (clear[0] & clear[1] & clear[2] & clear[3]) != 0;
}

// One frame with every lane at rest: no glide, speed 1.0, one shared write
// index, reads clear of the frame's writes. The reads of the four sub-steps
// then depend on nothing the frame computes, so they are all made first, two
// sub-steps at a time in eight lanes; the same operations on the same values
// as in frame(), in another order where no result depends on it.
LANE_INLINE F32x4 frame_at_rest(Lanes& s, TubeBank& bank, uint32_t& w, F32x4 input)
{
    const F32x4 g = s.gain;
    const Cubic<F32x4> in = take_input(s, input);
    I32x4 index[SUB_STEPS];
    F32x4 f[SUB_STEPS];
#pragma GCC unroll 4
    for (int j = 0; j < SUB_STEPS; ++j) {
        read_position(s, advance_lfo(s), index[j], f[j]);
        advance_read(s);
    }
    const F32x8 v01 = read_delay(bank, index[0], index[1], join(f[0], f[1]));
    const F32x8 v23 = read_delay(bank, index[2], index[3], join(f[2], f[3]));
    const F32x4 v[SUB_STEPS] = {low_half(v01), high_half(v01), low_half(v23), high_half(v23)};
    const F32x8 c3 = join(in.c3, in.c3);
    const F32x8 c2 = join(in.c2, in.c2);
    const F32x8 c1 = join(in.c1, in.c1);
    const F32x8 u01 = upsample(c3, c2, c1, join(s.phases[0], s.phases[1]));
    const F32x8 u23 = upsample(c3, c2, c1, join(s.phases[2], s.phases[3]));
    const F32x4 u[SUB_STEPS] = {low_half(u01), high_half(u01), low_half(u23), high_half(u23)};
    F32x4 d;
    F32x4 value[SUB_STEPS];
#pragma GCC unroll 4
    for (int j = 0; j < SUB_STEPS; ++j) {
        d = close_loop(s, u[j], in.c0, v[j], value[j]);
    }
    if (w >= DELAY_GUARD && w + SUB_STEPS <= DELAY_SIZE) {
        // Neither a guard slot nor the wrap: the frame's four values go into
        // four consecutive slots of each line.
        F32x4 rows[TUBE_COUNT];
        transpose(value[0], value[1], value[2], value[3], rows[0], rows[1], rows[2], rows[3]);
        for (int k = 0; k < TUBE_COUNT; ++k) {
            __builtin_memcpy(&bank.delay[k][w], &rows[k], sizeof rows[k]);
        }
        w = w + SUB_STEPS == DELAY_SIZE ? 0 : w + SUB_STEPS;
    } else {
        for (int j = 0; j < SUB_STEPS; ++j) {
            write_shared(w, bank, value[j]);
        }
    }
    return output(d, g);
}

LANE_INLINE bool shared_write_index(const Lanes& s)
{
    const I32x4 w = s.write_index;
    return w[0] == w[1] && w[1] == w[2] && w[2] == w[3];
}

LANE_INLINE bool at_rest(const Lanes& s)
{
    const I32x4 rest = (I32x4)(s.read_speed == SPEED_REST);
    return !s.glide_busy && (rest[0] & rest[1] & rest[2] & rest[3]) != 0;
}

// A block's input frames as four-lane vectors, one tube per lane; a whole
// block goes through 4x4 transposes.
LANE_INLINE void read_block(const float* const input[TUBE_COUNT], uint32_t start,
                            uint32_t frames, F32x4 block[BLOCK_FRAMES])
{
    if (frames == BLOCK_FRAMES) {
        for (uint32_t n = 0; n < BLOCK_FRAMES; n += 4) {
            transpose(load(input[0] + start + n), load(input[1] + start + n),
                      load(input[2] + start + n), load(input[3] + start + n), block[n],
                      block[n + 1], block[n + 2], block[n + 3]);
        }
        return;
    }
    for (uint32_t n = 0; n < frames; ++n) {
        block[n] = F32x4{input[0][start + n], input[1][start + n], input[2][start + n],
                         input[3][start + n]};
    }
}

LANE_INLINE void write_block(float* const output[TUBE_COUNT], uint32_t start, uint32_t frames,
                             const F32x4 block[BLOCK_FRAMES])
{
    if (frames == BLOCK_FRAMES) {
        for (uint32_t n = 0; n < BLOCK_FRAMES; n += 4) {
            F32x4 rows[TUBE_COUNT];
            transpose(block[n], block[n + 1], block[n + 2], block[n + 3], rows[0], rows[1],
                      rows[2], rows[3]);
            for (int k = 0; k < TUBE_COUNT; ++k) {
                __builtin_memcpy(output[k] + start + n, &rows[k], sizeof rows[k]);
            }
        }
        return;
    }
    for (int k = 0; k < TUBE_COUNT; ++k) {
        for (uint32_t n = 0; n < frames; ++n) {
            output[k][start + n] = block[n][k];
        }
    }
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
    // Every lane advances its write index alike, so lanes that start together
    // stay together for the whole call.
    const bool shared = shared_write_index(s);
    ArrivalLog log;
    for (int k = 0; k < TUBE_COUNT; ++k) {
        log.count[k] = 0;
    }
    // As tube by tube: a block's inputs are all read before any of its
    // outputs is written, since a host may alias them.
    F32x4 block[BLOCK_FRAMES];
    for (uint32_t start = 0; start < frame_count;
         start = next_block_start(start, frame_count)) {
        const uint32_t frames =
            frame_count - start < BLOCK_FRAMES ? frame_count - start : BLOCK_FRAMES;
        read_block(input, start, frames, block);
        // A block at rest stays at rest: only the control step, before the
        // frames, makes a request.
        if (shared && at_rest(s) && reads_clear_of_writes(s, uint32_t(s.write_index[0]))) {
            uint32_t w = uint32_t(s.write_index[0]);
            for (uint32_t n = 0; n < frames; ++n) {
                block[n] = frame_at_rest(s, bank, w, block[n]);
            }
            s.write_index = splat(int32_t(w));
        } else {
            for (uint32_t n = 0; n < frames; ++n) {
                block[n] = shared ? frame<true>(s, bank, log, block[n])
                                  : frame<false>(s, bank, log, block[n]);
            }
        }
        write_block(output, start, frames, block);
        flush(log);
    }
    store_lanes(bank, s);
}

}  // namespace lockstep
