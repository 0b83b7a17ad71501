#pragma once

#include <cstdint>
#include <type_traits>

#include "engine/fused_lanes.h"
#include "engine/fused_scalar.h"
#include "engine/glide.h"
#include "engine/lane_ops.h"
#include "engine/ordered_ops.h"
#include "engine/tube.h"

// The steps of one sub-step of a tube and of one frame, in the order they
// run, each written once for every lane type: S is the tube's loop state,
// either one tube's record (engine/tube.h: one float per field) or the
// lockstep engine's registers (four lanes per field, one per tube), and V the
// matching value type. Both engines call these same functions, so a formula
// changes in one place.
//
// Everything is single precision except the DC blocker; each fused
// multiply-add is written out with fused() (engine/fused_scalar.h and
// engine/fused_lanes.h: the instruction, or an exact emulation where there is
// none, with one NaN rule wherever it runs) and nothing else is fused. Where
// two operands of a sum or product may both be NaN, it is written plus() or
// times() (engine/ordered_ops.h), so that every path gives the same NaN. A
// branch of the algorithm is a select (c ? a : b, or select(c, a, b) where a
// lane type may not have the operator): of a bool for one tube, of a lane
// mask for four, both giving the same bits in every lane.

inline constexpr float SIXTH = 1.0f / 6.0f;
inline constexpr float TWO_THIRDS = 2.0f / 3.0f;
inline constexpr float TWELFTH = 1.0f / 12.0f;
inline constexpr float FIVE_TWELFTHS = 5.0f / 12.0f;
inline constexpr float TWENTY_FOURTH = 1.0f / 24.0f;
inline constexpr float HUNDRED_TWENTIETH = 1.0f / 120.0f;
inline constexpr float THIRTEEN_SIXTIETHS = 13.0f / 60.0f;

// The four sub-steps' positions between the last two inputs.
inline constexpr float SUB_STEP_POSITIONS[SUB_STEPS] = {0.25f, 0.5f, 0.75f, 1.0f};

// The modulator: a triangle of period 48000 sub-steps moving the read
// position by up to LFO_DEPTH slots.
inline constexpr float LFO_DEPTH = 1.5f;
inline constexpr float LFO_STEP = 1.0f / 24000.0f;

// Pole of the loop's fixed high-pass: exp(-2*pi*20/48000), a 20 Hz corner at
// 48 kHz. The filter runs once per sub-step, so at a 48 kHz host its corner
// actually lies near 80 Hz, and it moves with the host's rate.
inline constexpr float HIGHPASS_POLE = 0.99738544f;

// DC blocker d = b(1 - z^-1) / (1 - a z^-1), in double precision: its pole is
// so close to 1 that single precision would leave an audible offset.
inline constexpr double DC_POLE = 0.9968707592884718;
inline constexpr double DC_GAIN = 0.9984353796442359;  // (1 + DC_POLE) / 2: unity at Nyquist

// Forced inline, so that no copy built for one instruction set is ever linked
// into code built for another.
#define STEP_INLINE inline __attribute__((always_inline))

// The value type of a loop state's fields (whether the state holds them or
// refers to them where they lie).
template <class S>
using ValueOf = std::remove_reference_t<decltype(S::read_pos)>;

// ---- Upsampler ----------------------------------------------------------

// Cubic B-spline through the last four input samples (h0 oldest), split so
// that the part that depends on the position (u - c0) and the constant c0 can
// be added around the feedback term in the order the loop needs.
template <class V>
struct Cubic {
    V c3, c2, c1, c0;
};

template <class V>
STEP_INLINE Cubic<V> cubic_through(V h0, V h1, V h2, V h3)
{
    Cubic<V> s;
    s.c3 = plus((h1 - h2) * 0.5f, (h3 - h0) * SIXTH);
    s.c2 = plus(h0, h2) * 0.5f - h1;
    s.c1 = (h2 - h0) * 0.5f;
    s.c0 = plus(h1 * TWO_THIRDS, plus(h0, h2) * SIXTH);
    return s;
}

// u - c0 at position t.
template <class V>
STEP_INLINE V upsample(V c3, V c2, V c1, V t)
{
    return plus(plus(c3 * t, c2) * t, c1) * t;
}

template <class V>
STEP_INLINE V upsample(const Cubic<V>& s, V t)
{
    return upsample(s.c3, s.c2, s.c1, t);
}

// Takes a frame's input into the last four (input_0 the oldest, input_3 the
// newest) and gives the spline through them.
template <class S>
STEP_INLINE Cubic<ValueOf<S>> take_input(S& s, ValueOf<S> input)
{
    s.input_0 = s.input_1;
    s.input_1 = s.input_2;
    s.input_2 = s.input_3;
    s.input_3 = input;
    return cubic_through(s.input_0, s.input_1, s.input_2, s.input_3);
}

// ---- Modulator and read position -----------------------------------------

// The modulator's phase and the read position move on alike, one sub-step at
// a time: a step added, and the sum taken back by `wrap` once it reaches
// `limit`. An engine may move both in one set of lanes (the lockstep engine
// moves them side by side in eight), so each gives its terms of the move
// (lfo_move, read_move) and both go through this one step.
template <class V>
struct Move {
    V step, limit, wrap;
};

template <class V>
STEP_INLINE V moved_on(V from, const Move<V>& m)
{
    const V x = from + m.step;
    return select(x < m.limit, x, x - m.wrap);
}

// Triangle modulator of the read position: |phase| sweeps 0..1..0 as the
// phase runs from -1 up to 1 and wraps. The modulation is the phase's
// magnitude, which an engine may take for several sub-steps at once.
template <class S>
STEP_INLINE Move<ValueOf<S>> lfo_move(const S& s)
{
    return {same_as(s.lfo_phase, LFO_STEP), same_as(s.lfo_phase, 1.0f), same_as(s.lfo_phase, 2.0f)};
}

template <class S>
STEP_INLINE ValueOf<S> advance_lfo_phase(S& s)
{
    s.lfo_phase = moved_on(s.lfo_phase, lfo_move(s));
    return s.lfo_phase;
}

template <class S>
STEP_INLINE ValueOf<S> advance_lfo(S& s)
{
    return magnitude(advance_lfo_phase(s));
}

// Modulated read position, wrapped once at the line's size: its slot and its
// exact fraction. q lies in [0, line_size + 4), where truncation through an
// integer is exact and q - i is the exact fraction, bit for bit what modff
// gives.
template <class S, class I>
STEP_INLINE void read_position(const S& s, ValueOf<S> modulation, I& index, ValueOf<S>& f)
{
    using V = ValueOf<S>;
    const V span = to_real(s.line_size);
    V q = fused_by(LFO_DEPTH, modulation + 1.0f, s.read_pos + 1.0f);
    q = select(q >= span, q - span, q);
    index = to_index(q);
    f = q - to_real(index);
}

// The read position moves on by its speed and wraps at the line's size.
template <class S>
STEP_INLINE Move<ValueOf<S>> read_move(const S& s)
{
    const ValueOf<S> span = to_real(s.line_size);
    return {s.read_speed, span, span};
}

template <class S>
STEP_INLINE void advance_read(S& s)
{
    s.read_pos = moved_on(s.read_pos, read_move(s));
}

// ---- Six-point read -------------------------------------------------------

// The weights of the six-point read, as constants. The read takes them from
// where the lines lie and the lanes it reads into (read_weights below), so
// that an engine may hold them in another form that multiplies by the same
// values, rounding the same way (on AArch64 and on 32-bit ARM's NEON the
// lockstep engine keeps them in the lanes of registers).
struct QuinticWeights {
    static constexpr float twelfth = TWELFTH;
    static constexpr float twenty_fourth = TWENTY_FOURTH;
    static constexpr float hundred_twentieth = HUNDRED_TWENTIETH;
    static constexpr float sixth = SIXTH;
    static constexpr float five_twelfths = FIVE_TWELFTHS;
    static constexpr float thirteen_sixtieths = THIRTEEN_SIXTIETHS;
    static constexpr float fifty_five_hundredths = 0.55f;
    static constexpr float quarter = 0.25f;
    static constexpr float half = 0.5f;
};

template <class Lines, class V>
STEP_INLINE QuinticWeights read_weights(const Lines&, V)
{
    return QuinticWeights{};
}

// Six-point quintic B-spline on the segment between p2 and p3.
template <class V, class W = QuinticWeights>
STEP_INLINE V quintic(V p0, V p1, V p2, V p3, V p4, V p5, V f, const W& w = W{})
{
    const V p0_p4 = plus(p0, p4);
    const V p1_p3 = plus(p1, p3);
    const V e5 = plus(plus((p3 - p2) * w.twelfth, (p1 - p4) * w.twenty_fourth),
                      (p5 - p0) * w.hundred_twentieth);
    const V e4 = plus(p2 * w.quarter, p0_p4 * w.twenty_fourth) - p1_p3 * w.sixth;
    const V e3 = (p4 - p0) * w.twelfth - (p3 - p1) * w.sixth;
    const V e2 = plus(p0_p4 * w.twelfth, p1_p3 * w.sixth) - p2 * w.half;
    const V e1 = plus((p3 - p1) * w.five_twelfths, (p4 - p0) * w.twenty_fourth);
    const V e0 = plus(plus(p2 * w.fifty_five_hundredths, p1_p3 * w.thirteen_sixtieths),
                      p0_p4 * w.hundred_twentieth);
    return plus(plus(plus(plus(plus(e5 * f, e4) * f, e3) * f, e2) * f, e1) * f, e0);
}

// The interpolated read at slot `index` plus fraction f. Lines is where the
// delay lines lie: one tube's line (OneLine below) or the bank's four
// (engine/bank_lines.h), each with its six_points(lines, index, p) that
// loads p0..p5 from slots index..index+5 of every lane's line. The guard
// slots let the six points be read without wrapping.
template <class Lines, class I, class V>
STEP_INLINE V read_delay(const Lines& lines, I index, V f)
{
    V p[6];
    six_points(lines, index, p);
    return quintic(p[0], p[1], p[2], p[3], p[4], p[5], f, read_weights(lines, f));
}

// ---- The loop after the read ----------------------------------------------

template <class S>
STEP_INLINE ValueOf<S> dc_block(S& s, ValueOf<S> v)
{
    using V = ValueOf<S>;
    const auto product = DC_POLE * widen(s.integ);
    const V y = fused_narrowed_by(DC_GAIN, widen(v), product);
    const V d = y - s.integ;
    s.integ = y;
    return d;
}

// The loop's input: the feedback of the DC-free delay output and the
// upsampled input, u - c0 first.
template <class V>
STEP_INLINE V mix(V feedback, V d, V u_less_c0, V c0)
{
    return plus(fused(feedback, d, u_less_c0), c0);
}

// The fixed high-pass (HIGHPASS_POLE) followed by the damping low-pass.
// k(A - x) is used three times and never rounded on its own, so each use is
// one fused step. The damping coefficient is NaN when its control or the rate
// is, and the state may then already hold another NaN (from the input, or an
// infinity met earlier): the state's NaN goes on, on every path.
template <class S>
STEP_INLINE ValueOf<S> loop_filter(S& s, ValueOf<S> x)
{
    using V = ValueOf<S>;
    const V a_minus_x = s.highpass_state - x;
    const V lowpassed = fused_by(HIGHPASS_POLE, a_minus_x, x);
    const V damped =
        fused_by(-HIGHPASS_POLE, a_minus_x,
                 times(fused_by(HIGHPASS_POLE, a_minus_x, s.damping_state), s.damping_coef));
    s.highpass_state = lowpassed;
    s.damping_state = damped;
    return damped;
}

// DC blocker, mix and loop filter in their order: returns the DC-free delay
// output d and leaves the value to write in `value`.
template <class S>
STEP_INLINE ValueOf<S> close_loop(S& s, ValueOf<S> u_less_c0, ValueOf<S> c0, ValueOf<S> v,
                                  ValueOf<S>& value)
{
    const ValueOf<S> d = dc_block(s, v);
    value = loop_filter(s, mix(s.feedback, d, u_less_c0, c0));
    return d;
}

// ---- Write ----------------------------------------------------------------

// Each lane writes at its slot of its line (lines.slot: the lane's own index,
// or the one index all lanes share), and at the slot's guard copy when it is
// below DELAY_GUARD; then the index advances, wrapping at the line's size.
template <class Lines, class I, class V>
STEP_INLINE void write_delay(const Lines& lines, I& index, I line_size, V value)
{
    for (int k = 0; k < LANE_COUNT<V>; ++k) {
        lines.line(k)[lines.slot(index, k)] = lane(value, k);
    }
    const auto guarded = index < same_as(index, DELAY_GUARD);
    if (any(guarded)) {
        const I guard = guarded ? index + line_size : index;
        for (int k = 0; k < LANE_COUNT<V>; ++k) {
            lines.line(k)[lines.slot(guard, k)] = lane(value, k);
        }
    }
    const I next = index + same_as(index, 1);
    index = next == line_size ? same_as(index, 0) : next;
}

// ---- Glide ----------------------------------------------------------------

// The distance from the read position back to the write position: the write
// index minus the read slot, wrapped when the read position is not behind the
// write. Measured after the write index has advanced this sub-step and before
// the read position does, so at rest it stays constant from sub-step to
// sub-step.
template <class R, class C>
STEP_INLINE C measured_length(R read_pos, C write_index, C line_size)
{
    const C wrapped = read_pos >= to_real(write_index) ? line_size : same_as(write_index, 0);
    return write_index - to_count(read_pos) + wrapped;
}

template <class S>
STEP_INLINE auto measured_length(const S& s)
{
    return measured_length(s.read_pos, s.write_index, s.line_size);
}

// Once per sub-step, after the write and before the read position advances:
// takes up a pending length request, measures the length while gliding, and
// on arrival calls arrived(lane, length), which gives the lane's new feedback
// and logs it.
template <class S, class Arrived>
STEP_INLINE void glide_step(S& s, Arrived& arrived)
{
    if (!any(either(s.gliding, s.pending_length != 0))) {
        return;
    }
    const auto zero = same_as(s.length, 0);
    const auto measured = measured_length(s);
    const auto gliding = s.gliding;
    s.length = gliding ? measured : s.length;

    // A tube at rest takes a waiting request up. The direction is chosen
    // against the stored length, not a fresh measurement; the first
    // measurement comes with the next sub-step.
    const auto take_up = both(inverse(gliding), s.pending_length != zero);
    if (any(take_up)) {
        const auto speed = s.pending_length > s.length ? same_as(s.read_speed, SPEED_GROW)
                                                       : same_as(s.read_speed, SPEED_SHRINK);
        s.glide_target = take_up ? s.pending_length : s.glide_target;
        s.read_speed = take_up ? speed : s.read_speed;
        s.pending_length = take_up ? zero : s.pending_length;
        s.glide_distance = take_up ? s.pending_distance : s.glide_distance;
        s.pending_distance = take_up ? same_as(s.read_speed, 0.0f) : s.pending_distance;
        s.gliding = either(s.gliding, take_up);
    }

    const auto arrival = both(gliding, measured == s.glide_target);
    if (any(arrival)) {
        s.gliding = both(s.gliding, inverse(arrival));
        s.read_speed = arrival ? same_as(s.read_speed, SPEED_REST) : s.read_speed;
        // The rare event: a powf and a log line, one lane at a time; in
        // tune, the read position lands on the fractional length.
        for (int k = 0; k < LANE_COUNT<ValueOf<S>>; ++k) {
            if (lane(arrival, k)) {
                const auto length = static_cast<uint64_t>(lane(measured, k));
                set_lane(s.feedback, k, arrived(k, length));
                const auto write_slot = static_cast<float>(lane(s.write_index, k));
                set_lane(
                    s.read_pos, k,
                    landing_position(lane(s.read_pos, k), write_slot, lane(s.glide_distance, k),
                                     static_cast<float>(lane(s.line_size, k))));
            }
        }
    }
}

// ---- Soft clip and level --------------------------------------------------

// d / sqrt(1 + d^2): bounded by 1 for every finite d.
template <class V>
STEP_INLINE V soft_clip(V d)
{
    return d / square_root(fused(d, d, same_as(d, 1.0f)));
}

template <class V>
STEP_INLINE V output(V d, V gain)
{
    return soft_clip(d) * gain;
}

// ---- A sub-step and a frame -----------------------------------------------

// One of the four sub-steps of a frame; returns the DC-free delay output.
template <class S, class Lines, class Arrived>
STEP_INLINE ValueOf<S> sub_step(S& s, const Lines& lines, const Cubic<ValueOf<S>>& input,
                                ValueOf<S> t, Arrived& arrived)
{
    using V = ValueOf<S>;
    const V u = upsample(input, t);
    decltype(to_index(u)) index;
    V f;
    read_position(s, advance_lfo(s), index, f);
    const V v = read_delay(lines, index, f);
    V value;
    const V d = close_loop(s, u, input.c0, v, value);
    write_delay(lines, s.write_index, s.line_size, value);
    glide_step(s, arrived);
    advance_read(s);
    return d;
}

// One frame: the input taken in, four sub-steps, the output. The gain is the
// one the frame started with.
template <class S, class Lines, class Arrived>
STEP_INLINE ValueOf<S> frame(S& s, const Lines& lines, ValueOf<S> input, Arrived& arrived)
{
    using V = ValueOf<S>;
    const V g = s.gain;
    const Cubic<V> in = take_input(s, input);
    V d;
#pragma GCC unroll 4
    for (int j = 0; j < SUB_STEPS; ++j) {
        d = sub_step(s, lines, in, same_as(g, SUB_STEP_POSITIONS[j]), arrived);
    }
    return output(d, g);
}

// ---- One tube's line ------------------------------------------------------

// The delay line of one tube, for the tube-by-tube engine and for tests.
struct OneLine {
    float* data;
    float* line(int) const { return data; }
    uint64_t slot(uint64_t index, int) const { return index; }
};

STEP_INLINE void six_points(const OneLine& lines, int32_t index, float (&p)[6])
{
    const float* from = &lines.data[static_cast<uint32_t>(index)];
    for (int k = 0; k < 6; ++k) {
        p[k] = from[k];
    }
}
