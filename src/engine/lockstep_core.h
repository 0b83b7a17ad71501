#pragma once

// The lockstep engine: the four tubes run the same sub-step at once, one
// vector lane per tube, through the very steps the tube-by-tube engine runs
// one tube at a time (engine/sample_steps.h). Each lane does the same IEEE
// operation, in the same order, so every lane gives the tube-by-tube engine's
// bits; the fused operations are fused in both.
//
// Here are a call's blocks and a block's frames: whether a block may make
// its reads first, the frames that do, overlapped where the processor gains
// by it, and the others sub-step by sub-step. The lanes' state and its way
// to and from the bank are in engine/lockstep_lanes.h, the reads and writes
// of the bank's lines in engine/bank_lines.h.
//
// This header is compiled once per instruction set (engine/lockstep_*.cpp).
// Everything in it is static and forced inline, so no copy built for one
// instruction set can be linked into a caller built for another.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/bank_lines.h"
#include "engine/lane_ops.h"
#include "engine/lockstep_lanes.h"
#include "engine/sample_steps.h"
#include "engine/tube_bank.h"
#include "engine/tube_by_tube.h"

#if defined(__arm__) && defined(__ARM_NEON)
#include "engine/lanes_neon_arm.h"
#endif

namespace lockstep {

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
    int total;     // of the counts: most blocks have nothing to write
    bool any;      // whether a lane has arrived during the call
};

LANE_INLINE void flush(ArrivalLog& log)
{
    if (log.total == 0) {
        return;
    }
    log.total = 0;
    for (int k = 0; k < TUBE_COUNT; ++k) {
        for (int n = 0; n < log.count[k]; ++n) {
            log_feedback(log.feedback[k][n], log.length[k][n]);
        }
        log.count[k] = 0;
    }
}

// A glide arrival of one lane: its feedback from its own settings in the
// bank, with the log line kept for the end of the block.
struct KeepArrival {
    const TubeBank& bank;
    ArrivalLog& log;
    float operator()(int k, uint64_t length) const
    {
        const float feedback = arrival_feedback(length, bank.decay_time[k], bank.sample_rate[k]);
        const int n = log.count[k]++;
        ++log.total;
        log.any = true;
        log.feedback[k][n] = feedback;
        log.length[k][n] = length;
        return feedback;
    }
};

// Whether every frame of a block may make the reads of its four sub-steps
// before its writes, through the same steps in another order. That holds
// when, for the whole block, no sub-step changes a read speed or needs the
// glide's measurement, and every lane's reads lie clear of the writes:
//  - each lane either rests with no request waiting, or glides far enough
//    from its target that it cannot arrive within the block (a request
//    waiting behind a glide is only taken up after the arrival). The
//    measured length moves by at most one per sub-step and by at most
//    |1 - speed| per sub-step on average, 0.11 at the faster glide: over a
//    block's 64 sub-steps, less than ARRIVAL_MARGIN;
//  - a frame reads one to about thirteen slots past its read slot, and
//    writes three slots before its last read. At speed 1.0 the distance from
//    the read slot to the write index stays put but for a step of one where
//    adding 1.0 to the read position rounds (at most a few times in a
//    block); gliding, it moves by up to about eight in a block, hence the
//    wider margin then. Where frames overlap (frames_overlapped below), each
//    frame reads before the previous frame writes: its reads lie four slots
//    further on, still eight or more short of those writes.
inline constexpr int32_t ARRIVAL_MARGIN = 16;
inline constexpr int32_t GLIDE_DRIFT = 10;

template <class S>
LANE_INLINE bool reads_first(const S& s, uint32_t w)
{
    const I32x4 at_speed_one = s.read_speed == SPEED_REST;
    I32x4 drift = splat(0);
    if (any(either(s.gliding, s.pending_length != 0)) || !all_lanes(at_speed_one)) {
        const I32x4 resting = inverse(s.gliding) & (s.pending_length == 0);
        I32x4 to_target = s.glide_target - measured_length(s);
        to_target = to_target < 0 ? -to_target : to_target;
        to_target = to_target > s.line_size / 2 ? s.line_size - to_target : to_target;
        const I32x4 far = s.gliding & (to_target > ARRIVAL_MARGIN);
        const I32x4 known_speed =
            at_speed_one | (s.read_speed == SPEED_GROW) | (s.read_speed == SPEED_SHRINK);
        if (!all_lanes((resting | far) & known_speed)) {
            return false;
        }
        drift = splat(GLIDE_DRIFT);
    }
    const I32x4 slot = to_index(s.read_pos);
    I32x4 distance = splat(int32_t(w)) - slot;
    distance = distance < splat(0) ? distance + s.line_size : distance;
    return all_lanes((distance >= splat(24) + drift) & (distance <= s.line_size - 12 - drift));
}

// Whether a frame that reads first makes its reads two sub-steps at a time
// in eight lanes. The baseline x86-64 has no eight-lane registers: there the
// compiler builds the eight lanes' joins, halves and transposes through
// memory and lane by lane, which costs more than four-lane reads save.
#if defined(__x86_64__) && !defined(__AVX__)
inline constexpr bool EIGHT_LANE_READS = false;
#else
inline constexpr bool EIGHT_LANE_READS = true;
#endif

// The slot and fraction each of a frame's four sub-steps reads at, once the
// frame has taken its input in. last_read_pos is the read position the last
// sub-step's glide step would have measured from.
template <class S, class V = ValueOf<S>>
LANE_INLINE void frame_positions(S& s, I32x4& index0, I32x4& index1, I32x4& index2, I32x4& index3,
                                 V& f0, V& f1, V& f2, V& f3, V& last_read_pos)
{
    read_position(s, advance_lfo(s), index0, f0);
    advance_read(s);
    read_position(s, advance_lfo(s), index1, f1);
    advance_read(s);
    read_position(s, advance_lfo(s), index2, f2);
    advance_read(s);
    read_position(s, advance_lfo(s), index3, f3);
    last_read_pos = s.read_pos;
    advance_read(s);
}

#if defined(__AVX__)
// Two sub-steps' read positions side by side in eight lanes, as
// read_position takes them.
struct PairedPositions {
    F32x8 read_pos;
    I32x8 line_size;
};

// The modulator's phase and the read position side by side in eight lanes,
// the phase in the low four: both move on through the same step
// (moved_on), so one step in eight lanes moves both.
template <class S>
LANE_INLINE Move<F32x8> paired_move(const S& s)
{
    const Move<F32x4> lfo = lfo_move(s);
    const Move<F32x4> read = read_move(s);
    return {join(lfo.step, read.step), join(lfo.limit, read.limit), join(lfo.wrap, read.wrap)};
}

// One sub-step's move of the phase and the read position side by side in
// `motion`: the phase it reaches and the read position the sub-step reads
// from.
LANE_INLINE void paired_step(F32x8& motion, const Move<F32x8>& move, F32x4& phase, F32x4& at)
{
    at = high_half(motion);
    motion = moved_on(motion, move);
    phase = low_half(motion);
}

// The same, each in its own four lanes.
template <class S>
LANE_INLINE void step_positions(S& s, F32x4& phase, F32x4& at)
{
    phase = advance_lfo_phase(s);
    at = s.read_pos;
    advance_read(s);
}

// frame_positions with the slots and fractions of two sub-steps at a time:
// the modulator's phase and the read position move on sub-step by sub-step,
// and what each sub-step computes from them is done for two at once, in
// eight lanes, the same operations on the same values.
//
// Where moves_paired, the phase and the read position move on side by side
// in eight lanes, one step for both (moved_on): frames that overlap do so,
// 403 instructions a frame at rest against 417, 473 against 489 gliding. The
// frame that starts a call's frames moves them in their own four lanes: in
// a call of one frame it is all the processor has to do, and joining the
// two and taking them apart again lengthens its chain (gliding, such calls
// took about 2 % longer, side by side).
template <class S>
LANE_INLINE void paired_positions(S& s, bool moves_paired, I32x4& index0, I32x4& index1,
                                  I32x4& index2, I32x4& index3, F32x8& f01, F32x8& f23,
                                  F32x4& last_read_pos)
{
    // A sub-step reads where the read position was before it moved on, and
    // is modulated by the phase it moved on to.
    F32x4 phase0, phase1, phase2, phase3, at0, at1, at2, at3;
    if (moves_paired) {
        const Move<F32x8> move = paired_move(s);
        F32x8 motion = join(s.lfo_phase, s.read_pos);
        paired_step(motion, move, phase0, at0);
        paired_step(motion, move, phase1, at1);
        paired_step(motion, move, phase2, at2);
        paired_step(motion, move, phase3, at3);
        s.lfo_phase = low_half(motion);
        s.read_pos = high_half(motion);
    } else {
        step_positions(s, phase0, at0);
        step_positions(s, phase1, at1);
        step_positions(s, phase2, at2);
        step_positions(s, phase3, at3);
    }
    last_read_pos = at3;
    const I32x8 size = (I32x8)join((F32x4)s.line_size, (F32x4)s.line_size);
    I32x8 index01, index23;
    read_position(PairedPositions{join(at0, at1), size}, magnitude(join(phase0, phase1)), index01,
                  f01);
    read_position(PairedPositions{join(at2, at3), size}, magnitude(join(phase2, phase3)), index23,
                  f23);
    index0 = (I32x4)low_half((F32x8)index01);
    index1 = (I32x4)high_half((F32x8)index01);
    index2 = (I32x4)low_half((F32x8)index23);
    index3 = (I32x4)high_half((F32x8)index23);
}
#endif

// The reads and the upsampled inputs of a frame's four sub-steps in eight
// lanes: sub-steps 0 and 1 in v01 and u01, 2 and 3 in v23 and u23, each
// first sub-step in the low four lanes.
LANE_INLINE void reads_of_frame(const BankLines<true>& lines, I32x4 index0, I32x4 index1,
                                I32x4 index2, I32x4 index3, F32x8 f01, F32x8 f23, F32x8& v01,
                                F32x8& v23)
{
    if (!read_in_a_row(lines, index0, index1, index2, index3, f01, f23, v01, v23)) {
        v01 = read_two_steps(lines, join(index0, index1), f01);
        v23 = read_two_steps(lines, join(index2, index3), f23);
    }
}

LANE_INLINE void upsampled_frame(const Cubic<F32x4>& in, F32x4 g, F32x8& u01, F32x8& u23)
{
    const Cubic<F32x8> in8 = {join(in.c3, in.c3), join(in.c2, in.c2), join(in.c1, in.c1),
                              join(in.c0, in.c0)};
    u01 = upsample(in8, join(same_as(g, SUB_STEP_POSITIONS[0]), same_as(g, SUB_STEP_POSITIONS[1])));
    u23 = upsample(in8, join(same_as(g, SUB_STEP_POSITIONS[2]), same_as(g, SUB_STEP_POSITIONS[3])));
}

// One frame of a block that reads first (reads_first): one shared write index
// w, no glide step due. The reads of the four sub-steps then depend on
// nothing the frame computes, so they are all made first (two sub-steps at a
// time in eight lanes where EIGHT_LANE_READS): the steps of frame() on the
// same values, in another order where no result depends on it.
template <class S, class V = ValueOf<S>>
LANE_INLINE V frame_reads_first(S& s, const BankLines<true>& lines, uint32_t& w, V input,
                                V& last_read_pos)
{
    // Written out sub-step by sub-step (no arrays), so that every value can
    // stay in a register.
    const V g = s.gain;
    const Cubic<V> in = take_input(s, input);
    I32x4 index0, index1, index2, index3;
    V f0, f1, f2, f3;
    frame_positions(s, index0, index1, index2, index3, f0, f1, f2, f3, last_read_pos);
    V v0, v1, v2, v3, u0, u1, u2, u3;
    if constexpr (EIGHT_LANE_READS && std::is_same_v<V, F32x4>) {
        F32x8 v01, v23, u01, u23;
        reads_of_frame(lines, index0, index1, index2, index3, join(f0, f1), join(f2, f3), v01, v23);
        upsampled_frame(in, g, u01, u23);
        v0 = low_half(v01);
        v1 = high_half(v01);
        v2 = low_half(v23);
        v3 = high_half(v23);
        u0 = low_half(u01);
        u1 = high_half(u01);
        u2 = low_half(u23);
        u3 = high_half(u23);
    } else {
        if (!read_in_a_row(lines, index0, index1, index2, index3, f0, f1, f2, f3, v0, v1, v2, v3)) {
            v0 = read_delay(lines, index0, f0);
            v1 = read_delay(lines, index1, f1);
            v2 = read_delay(lines, index2, f2);
            v3 = read_delay(lines, index3, f3);
        }
        u0 = upsample(in, same_as(g, SUB_STEP_POSITIONS[0]));
        u1 = upsample(in, same_as(g, SUB_STEP_POSITIONS[1]));
        u2 = upsample(in, same_as(g, SUB_STEP_POSITIONS[2]));
        u3 = upsample(in, same_as(g, SUB_STEP_POSITIONS[3]));
    }
    V value0, value1, value2, value3;
    close_loop(s, u0, in.c0, v0, value0);
    close_loop(s, u1, in.c0, v1, value1);
    close_loop(s, u2, in.c0, v2, value2);
    const V d = close_loop(s, u3, in.c0, v3, value3);
    write_four(lines, w, uint32_t(s.line_size[0]), value0, value1, value2, value3);
    return output(d, g);
}

// Whether the frames of a block that reads first overlap, each frame's
// closing of the loop woven with the next frame's reads. The DC blocker
// closes the loop through a chain of four conversions, products and fused
// steps a frame that nothing can shorten, and the frame's own reads come
// before it: one frame after the other, the processor's window fills with
// the chain's waiting steps before the next frame's reads get in, and the
// chain then waits for those reads. Woven, the reads run while the chain
// does. Measured with AVX, at block 256: 63.7 against 50.0 ns a frame at
// rest, 70.5 against 61.2 gliding. Elsewhere the frames stay one after the
// other: on 32-bit ARM the frames that read first run on NEON's own lanes
// (block_on_neon); the baseline x86-64 has no eight-lane reads; and on
// AArch64, whose cost is counted in instructions under emulation here, the
// woven frames keep more values alive than the registers hold (on x86-64
// they take 414 instructions a frame at rest, against 397).
#if defined(__AVX__)
inline constexpr bool OVERLAP_FRAMES = true;
#else
inline constexpr bool OVERLAP_FRAMES = false;
#endif

// What a frame's closing of the loop takes from its reads.
struct FrameReads {
    F32x8 v01, v23, u01, u23;
    F32x4 c0;
};

template <class S>
LANE_INLINE FrameReads reads_ahead(S& s, const BankLines<true>& lines, F32x4 input,
                                   bool moves_paired, F32x4& last_read_pos)
{
    I32x4 index0, index1, index2, index3;
    F32x8 f01, f23;
    FrameReads r;
    const Cubic<F32x4> in = take_input(s, input);
    paired_positions(s, moves_paired, index0, index1, index2, index3, f01, f23, last_read_pos);
    reads_of_frame(lines, index0, index1, index2, index3, f01, f23, r.v01, r.v23);
    upsampled_frame(in, s.gain, r.u01, r.u23);
    r.c0 = in.c0;
    return r;
}

// Frame n's four sub-steps, whose reads r holds, woven with frame n + 1's
// input, positions, reads and upsampled inputs, which then replace r: the
// same steps on the same values as frame_reads_first. The order changes
// nothing: the reads and the closing of the loop share no state, and frame
// n + 1's reads lie clear of frame n's writes, as reads_first makes sure for
// every frame of a block. Gives frame n's output.
template <class S>
LANE_INLINE F32x4 woven_frame(S& s, const BankLines<true>& lines, FrameReads& r, F32x4 next_input,
                              uint32_t& w, uint32_t size, F32x4 g, F32x4& last_read_pos)
{
    // Where the next frame's steps go between this one's sub-steps was
    // measured: this order was the fastest of those tried (47.0 ns a frame
    // at rest, against 48.0 with the reads between sub-steps 1 and 2, and
    // 49.2 with them after sub-step 3).
    F32x4 value0, value1, value2, value3;
    FrameReads next;
    I32x4 index0, index1, index2, index3;
    F32x8 f01, f23;
    close_loop(s, low_half(r.u01), r.c0, low_half(r.v01), value0);
    const Cubic<F32x4> in = take_input(s, next_input);
    paired_positions(s, true, index0, index1, index2, index3, f01, f23, last_read_pos);
    close_loop(s, high_half(r.u01), r.c0, high_half(r.v01), value1);
    close_loop(s, low_half(r.u23), r.c0, low_half(r.v23), value2);
    reads_of_frame(lines, index0, index1, index2, index3, f01, f23, next.v01, next.v23);
    upsampled_frame(in, g, next.u01, next.u23);
    next.c0 = in.c0;
    const F32x4 d = close_loop(s, high_half(r.u23), r.c0, high_half(r.v23), value3);
    write_four(lines, w, size, value0, value1, value2, value3);
    r = next;
    return output(d, g);
}

// The last of overlapped frames: its four sub-steps with nothing to weave.
template <class S>
LANE_INLINE F32x4 last_frame(S& s, const BankLines<true>& lines, const FrameReads& r, uint32_t& w,
                             uint32_t size, F32x4 g)
{
    F32x4 value0, value1, value2, value3;
    close_loop(s, low_half(r.u01), r.c0, low_half(r.v01), value0);
    close_loop(s, high_half(r.u01), r.c0, high_half(r.v01), value1);
    close_loop(s, low_half(r.u23), r.c0, low_half(r.v23), value2);
    const F32x4 d = close_loop(s, high_half(r.u23), r.c0, high_half(r.v23), value3);
    write_four(lines, w, size, value0, value1, value2, value3);
    return output(d, g);
}

// The frames of a block that reads first, overlapped, in place in block.
template <class S>
LANE_INLINE void frames_overlapped(S& s, const BankLines<true>& lines, F32x4 block[],
                                   uint32_t frames, uint32_t& w, F32x4& last_read_pos)
{
    const F32x4 g = s.gain;
    const uint32_t size = uint32_t(s.line_size[0]);
    FrameReads r = reads_ahead(s, lines, block[0], false, last_read_pos);
    for (uint32_t n = 0; n + 1 < frames; ++n) {
        block[n] = woven_frame(s, lines, r, block[n + 1], w, size, g, last_read_pos);
    }
    block[frames - 1] = last_frame(s, lines, r, w, size, g);
}

template <class S>
LANE_INLINE bool shared_write_index(const S& s)
{
    return all_lanes(s.write_index == splat(s.write_index[0]));
}

// A block's input frames as four-lane vectors, one tube per lane: four
// frames at a time through a 4x4 transpose, the rest of a short block lane by
// lane. Each channel's place in the call is worked out once, here and in
// write_block, and the frames counted in a register's width: with the place
// worked out afresh for every row from a 32-bit count (and, for the
// outputs, every pointer loaded again after each row, which the compiler
// must assume a row's store may have changed), the two took 63 instructions
// for four frames, against 34.
LANE_INLINE void read_block(const float* const input[TUBE_COUNT], uint32_t start,
                            uint32_t frames, F32x4 block[BLOCK_FRAMES])
{
    const float* in0 = input[0] + start;
    const float* in1 = input[1] + start;
    const float* in2 = input[2] + start;
    const float* in3 = input[3] + start;
    size_t n = 0;
    for (; n + 4 <= frames; n += 4) {
        transpose(load(in0 + n), load(in1 + n), load(in2 + n), load(in3 + n), block[n],
                  block[n + 1], block[n + 2], block[n + 3]);
    }
    for (; n < frames; ++n) {
        block[n] = F32x4{in0[n], in1[n], in2[n], in3[n]};
    }
}

LANE_INLINE void write_block(float* const output[TUBE_COUNT], uint32_t start, uint32_t frames,
                             const F32x4 block[BLOCK_FRAMES])
{
    float* out0 = output[0] + start;
    float* out1 = output[1] + start;
    float* out2 = output[2] + start;
    float* out3 = output[3] + start;
    size_t n = 0;
    for (; n + 4 <= frames; n += 4) {
        // Four rows by name, not an array: each is stored from its
        // register (an array went through the stack on AArch64).
        F32x4 row0, row1, row2, row3;
        transpose(block[n], block[n + 1], block[n + 2], block[n + 3], row0, row1, row2, row3);
        __builtin_memcpy(out0 + n, &row0, sizeof row0);
        __builtin_memcpy(out1 + n, &row1, sizeof row1);
        __builtin_memcpy(out2 + n, &row2, sizeof row2);
        __builtin_memcpy(out3 + n, &row3, sizeof row3);
    }
    for (; n < frames; ++n) {
        out0[n] = block[n][0];
        out1[n] = block[n][1];
        out2[n] = block[n][2];
        out3[n] = block[n][3];
    }
}

#if defined(__arm__) && defined(__ARM_NEON)
// The loop's state with its single-precision fields in NEON's lanes.
struct NeonKinds {
    using REAL = NeonLanes;
    using COUNT = I32x4;
    using FLAG = I32x4;
};

using NeonState = LoopLanes<NeonKinds>;

// The slots a block's frames write, as they were before: where a frame's
// reads lie ahead of the write index, they read slots that later frames of
// the block overwrite, and frames run again must find them as they were.
struct Overwritten {
    float slots[TUBE_COUNT][SUB_STEPS * BLOCK_FRAMES];
    uint32_t from, count, size;

    // The run from `from` up to the end of the line, and the rest from 0.
    uint32_t first_run() const { return count < size - from ? count : size - from; }

    void keep(const TubeBank& bank)
    {
        const uint32_t first = first_run();
        for (int k = 0; k < TUBE_COUNT; ++k) {
            __builtin_memcpy(slots[k], &bank.delay[k][from], first * sizeof(float));
            __builtin_memcpy(slots[k] + first, &bank.delay[k][0], (count - first) * sizeof(float));
        }
    }

    // The slots and, of those below DELAY_GUARD, their guard copies.
    void restore(TubeBank& bank) const
    {
        const uint32_t first = first_run();
        for (int k = 0; k < TUBE_COUNT; ++k) {
            float* line = bank.delay[k];
            __builtin_memcpy(&line[from], slots[k], first * sizeof(float));
            __builtin_memcpy(&line[0], slots[k] + first, (count - first) * sizeof(float));
            for (uint32_t i = 0; i < DELAY_GUARD; ++i) {
                line[size + i] = line[i];
            }
        }
    }
};

// Whether a lane's reads may lie ahead of the write index, within `count`
// slots of it: reads_first puts each lane's read slot between 24 and
// line_size - 12 slots behind, and a block of frames reads at most a few
// slots past its read slots, gliding included (GLIDE_DRIFT). Reads further
// behind only meet slots the block wrote before them, which frames run again
// write again before they read them.
LANE_INLINE bool reads_ahead_into(const NeonState& n, uint32_t w, uint32_t count)
{
    I32x4 behind = splat(int32_t(w)) - to_index(n.read_pos);
    behind = behind < 0 ? behind + n.line_size : behind;
    return any(behind > n.line_size - int32_t(count + 12 + 8 + GLIDE_DRIFT));
}

LANE_INLINE F32x4 from_neon(NeonLanes x)
{
    return x.vector();
}

LANE_INLINE I32x4 from_neon(I32x4 x)
{
    return x;
}

// The frames of a block that reads first, on NEON, where the floating-point
// unit is in the plug-in's mode. What comes out is kept only if no NaN came
// out: the outputs, and the state the frames move. A NaN met anywhere in a
// frame stays in that state, since every value of the loop goes on through
// the filters and the DC blocker, whose states carry it from sub-step to
// sub-step (and a NaN that only reaches an output is seen there). With no
// NaN met, every result is the scalar unit's. Otherwise nothing is kept: the
// slots the frames wrote are put back as they were, and the caller runs the
// frames again from the same state.
template <class S>
LANE_INLINE bool block_on_neon(S& s, const BankLines<true>& lines, F32x4 block[], uint32_t frames,
                               uint32_t& w, F32x4& last_read_pos)
{
    if (!neon_exact_here()) {
        return false;
    }
    NeonState n;
#define TAKE(kind, name) n.name = s.name;
    TUBE_LOOP_STATE(TAKE)
#undef TAKE
    Overwritten overwritten;
    overwritten.from = w;
    overwritten.count = SUB_STEPS * frames;
    overwritten.size = uint32_t(s.line_size[0]);
    const bool keep = reads_ahead_into(n, w, overwritten.count);
    if (keep) {
        overwritten.keep(lines.bank);
    }
    uint32_t w_after = w;
    NeonLanes last = n.read_pos;
    NeonLanes out[BLOCK_FRAMES];
    NanWatch watch;
    for (uint32_t i = 0; i < frames; ++i) {
        out[i] = frame_reads_first(n, lines, w_after, NeonLanes(block[i]), last);
        watch.see(out[i]);
    }
#define SEE(kind, name) watch.see(n.name);
    TUBE_LOOP_MOTION(SEE)
#undef SEE
    if (watch.saw_nan()) {
        if (keep) {
            overwritten.restore(lines.bank);
        }
        return false;
    }
#define GIVE(kind, name) s.name = from_neon(n.name);
    TUBE_LOOP_MOTION(GIVE)
#undef GIVE
    for (uint32_t i = 0; i < frames; ++i) {
        block[i] = out[i].vector();
    }
    w = w_after;
    last_read_pos = last.vector();
    return true;
}
#else
template <class S>
LANE_INLINE bool block_on_neon(S&, const BankLines<true>&, F32x4[], uint32_t, uint32_t&, F32x4&)
{
    return false;
}
#endif

// What a block that reads first leaves for the next, once its last write
// index is w: the glide step's only effect in such a block is that a gliding
// lane's length is its last measurement.
template <class S>
LANE_INLINE void end_of_block(S& s, uint32_t w, F32x4 last_read_pos)
{
    s.write_index = splat(int32_t(w));
    if (any(s.gliding)) {
        s.length =
            s.gliding ? measured_length(last_read_pos, s.write_index, s.line_size) : s.length;
    }
}

// The frames of a block that reads first (reads_first), in place in block.
template <class S>
LANE_INLINE void block_reads_first(S& s, const BankLines<true>& lines, F32x4 block[],
                                   uint32_t frames)
{
    uint32_t w = uint32_t(s.write_index[0]);
    F32x4 last_read_pos = s.read_pos;
    if constexpr (OVERLAP_FRAMES) {
        frames_overlapped(s, lines, block, frames, w, last_read_pos);
    } else if (!block_on_neon(s, lines, block, frames, w, last_read_pos)) {
        for (uint32_t n = 0; n < frames; ++n) {
            block[n] = frame_reads_first(s, lines, w, block[n], last_read_pos);
        }
    }
    end_of_block(s, w, last_read_pos);
}

// Blocks of a call that read first, one after the other from the one at
// `start` (read into block, and found to read first), with their frames
// overlapped across the blocks' boundaries too: the last frame of a block is
// woven with the first of the next where that block reads first as well,
// which is decided where the block-by-block path decides it, at the end of
// the block before (the reads and writes of a block's last frame move no
// state that reads_first looks at, but the write index, whose end it knows).
// The next block's input is read before this block's output is written, as
// the block-by-block path reads each block's inputs before it writes its
// outputs: they are other frames, which a host's aliased buffers keep apart.
// Gives where the block-by-block path goes on: the first block that does
// not read first, or the end of the call.
template <class S>
LANE_INLINE uint32_t blocks_overlapped(S& s, const BankLines<true>& lines,
                                       const float* const input[TUBE_COUNT],
                                       float* const output[TUBE_COUNT], uint32_t start,
                                       uint32_t frame_count, F32x4* block, F32x4* spare)
{
    const F32x4 g = s.gain;
    const uint32_t size = uint32_t(s.line_size[0]);
    uint32_t w = uint32_t(s.write_index[0]);
    F32x4 last_read_pos = s.read_pos;
    FrameReads r = reads_ahead(s, lines, block[0], true, last_read_pos);
    for (;;) {
        const uint32_t next = next_block_start(start, frame_count);
        const uint32_t frames = next - start;
        for (uint32_t n = 0; n + 1 < frames; ++n) {
            block[n] = woven_frame(s, lines, r, block[n + 1], w, size, g, last_read_pos);
        }
        // The block ends after its last frame's four writes.
        end_of_block(s, after_four_writes(w, size), last_read_pos);
        if (next == frame_count || !reads_first(s, uint32_t(s.write_index[0]))) {
            block[frames - 1] = last_frame(s, lines, r, w, size, g);
            write_block(output, start, frames, block);
            return next;
        }
        read_block(input, next, next_block_start(next, frame_count) - next, spare);
        block[frames - 1] = woven_frame(s, lines, r, spare[0], w, size, g, last_read_pos);
        write_block(output, start, frames, block);
        F32x4* const done = block;
        block = spare;
        spare = done;
        start = next;
    }
}

static __attribute__((noinline)) void run_blocks(TubeBank& bank,
                                                 const float* const input[TUBE_COUNT],
                                                 float* const output[TUBE_COUNT],
                                                 uint32_t frame_count);

// The frames of a short call of more than one frame, out of line: inlined
// into short_call, their registers cost the call of one frame too (measured
// when they moved out: 614 instructions a frame at block 1, against 571).
static __attribute__((noinline)) void short_block(TubeBank& bank,
                                                  const float* const input[TUBE_COUNT],
                                                  float* const output[TUBE_COUNT],
                                                  uint32_t frame_count)
{
    const BankLines<true> lines{bank};
    Lanes s = load_lanes(bank);
    F32x4 block[BLOCK_FRAMES];
    read_block(input, 0, frame_count, block);
    block_reads_first(s, lines, block, frame_count);
    write_block(output, 0, frame_count, block);
    store_lanes(bank, s, Changed{any(s.gliding), false});
}

// A call of one block that reads first, as most calls of a few frames are,
// taken on its own, without the other path's bookkeeping around it. Where
// the block does not read first, nothing is done here and the call goes on
// block by block: handed on from here, as the last thing done, the entry
// needs nothing kept across a call and is a jump. Out of line (static: a
// copy per instruction set), so that the registers of the long path stay
// its own.
static __attribute__((noinline)) void short_call(TubeBank& bank,
                                                 const float* const input[TUBE_COUNT],
                                                 float* const output[TUBE_COUNT],
                                                 uint32_t frame_count)
{
    // What reads_first finds holds for a whole block of frames, as long as
    // nothing but this engine touches the lanes (a control step that changes
    // a tube stores its record back, which clears the count): calls of a few
    // frames each share one finding.
    if (bank.reads_first_frames < frame_count) {
        const LanesInBank s = lanes_in_bank(bank);
        if (!shared_write_index(s) || !reads_first(s, uint32_t(s.write_index[0]))) {
            run_blocks(bank, input, output, frame_count);
            return;
        }
        bank.reads_first_frames = BLOCK_FRAMES;
    }
    bank.reads_first_frames -= frame_count;
    const BankLines<true> lines{bank};
    // A host that splits its blocks at every event calls with one frame at a
    // time: that frame goes from the buffers to the lanes and back without a
    // pass over a block, and its state stays in the bank.
    if (frame_count == 1) {
        LanesInBank s = lanes_in_bank(bank);
        F32x4 frame = F32x4{input[0][0], input[1][0], input[2][0], input[3][0]};
        block_reads_first(s, lines, &frame, 1);
#pragma GCC unroll 4
        for (int k = 0; k < TUBE_COUNT; ++k) {
            output[k][0] = frame[k];
        }
        // No lane takes a request up or arrives in such a block.
        store_lanes(bank, s, Changed{any(s.gliding), false});
        return;
    }
    short_block(bank, input, output, frame_count);
}

// Any call, block by block.
static void run_blocks(TubeBank& bank, const float* const input[TUBE_COUNT],
                       float* const output[TUBE_COUNT], uint32_t frame_count)
{
    Lanes s = load_lanes(bank);
    // Every lane advances its write index alike, so lanes that start together
    // stay together for the whole call.
    const bool shared = shared_write_index(s);
    // Only the set operations, between calls, make a request: a call where
    // no lane glides or has one waiting leaves the glide's state as it is.
    const bool glide_moves = any(either(s.gliding, s.pending_length != 0));
    const bool request_waits = any(s.pending_length != 0);
    ArrivalLog log;
    for (int k = 0; k < TUBE_COUNT; ++k) {
        log.count[k] = 0;
    }
    log.total = 0;
    log.any = false;
    KeepArrival arrived{bank, log};
    const BankLines<true> shared_lines{bank};
    const BankLines<false> own_lines{bank};
    // As tube by tube: a block's inputs are all read before any of its
    // outputs is written, since a host may alias them.
    F32x4 block[BLOCK_FRAMES];
    F32x4 spare[BLOCK_FRAMES];
    for (uint32_t start = 0; start < frame_count;) {
        const uint32_t frames =
            frame_count - start < BLOCK_FRAMES ? frame_count - start : BLOCK_FRAMES;
        read_block(input, start, frames, block);
        // Only the control step, before the frames, makes a request, so what
        // reads_first finds holds for the whole block.
        if (shared && reads_first(s, uint32_t(s.write_index[0]))) {
            if constexpr (OVERLAP_FRAMES) {
                // No glide arrives in such blocks: the log has nothing of them.
                start = blocks_overlapped(s, shared_lines, input, output, start, frame_count, block,
                                          spare);
                continue;
            }
            block_reads_first(s, shared_lines, block, frames);
        } else {
            for (uint32_t n = 0; n < frames; ++n) {
                block[n] = shared ? frame(s, shared_lines, block[n], arrived)
                                  : frame(s, own_lines, block[n], arrived);
            }
        }
        write_block(output, start, frames, block);
        flush(log);
        start = next_block_start(start, frame_count);
    }
    store_lanes(bank, s, Changed{glide_moves, request_waits || log.any});
    bank.reads_first_frames = 0;
}

// The engine's entry: a short call that reads first on its own, any other
// block by block, each out of line so that the entry itself is a few checks.
LANE_INLINE void run_frames(TubeBank& bank, const float* const input[TUBE_COUNT],
                            float* const output[TUBE_COUNT], uint32_t frame_count)
{
    if (frame_count == 0) {
        return;
    }
    if (!bank.lanes_checked) {
        if (!fits_lanes(bank)) {
            tube_by_tube_frames(bank, input, output, frame_count);
            return;
        }
        bank.lanes_checked = true;
    }
    if (frame_count <= BLOCK_FRAMES) {
        short_call(bank, input, output, frame_count);
        return;
    }
    run_blocks(bank, input, output, frame_count);
}

}  // namespace lockstep
