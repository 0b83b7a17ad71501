#pragma once

#include <cmath>
#include <cstdint>

#include "engine/lane_fma.h"
#include "engine/tube.h"

// The steps of one sub-step of a tube, in the order they run, and the output
// stage of a frame. Everything is single precision except the DC blocker; each
// fused multiply-add is written out with fused() (engine/lane_fma.h: the
// instruction, or an exact emulation where there is none, with one NaN rule
// wherever it runs) and nothing else is fused.

inline constexpr float SIXTH = 1.0f / 6.0f;
inline constexpr float TWO_THIRDS = 2.0f / 3.0f;
inline constexpr float TWELFTH = 1.0f / 12.0f;
inline constexpr float FIVE_TWELFTHS = 5.0f / 12.0f;
inline constexpr float TWENTY_FOURTH = 1.0f / 24.0f;
inline constexpr float HUNDRED_TWENTIETH = 1.0f / 120.0f;
inline constexpr float THIRTEEN_SIXTIETHS = 13.0f / 60.0f;

inline constexpr float DELAY_SPAN = static_cast<float>(DELAY_SIZE);

// DC blocker d = b(1 - z^-1) / (1 - a z^-1), in double precision: its pole is
// so close to 1 that single precision would leave an audible offset.
inline constexpr double DC_POLE = 0.9968707592884718;
inline constexpr double DC_GAIN = 0.9984353796442359;  // (1 + DC_POLE) / 2: unity at Nyquist

// The formulas the tube-by-tube engine and the lockstep engine share are
// templates over the number type: a float here, four or eight lanes there.
// Forced inline, so that no copy built for one instruction set is ever linked
// into code built for another.
#define STEP_INLINE inline __attribute__((always_inline))

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
    s.c3 = (h1 - h2) * 0.5f + (h3 - h0) * SIXTH;
    s.c2 = (h0 + h2) * 0.5f - h1;
    s.c1 = (h2 - h0) * 0.5f;
    s.c0 = h1 * TWO_THIRDS + (h0 + h2) * SIXTH;
    return s;
}

// u - c0 at position t.
template <class V>
STEP_INLINE V upsample(V c3, V c2, V c1, V t)
{
    return ((c3 * t + c2) * t + c1) * t;
}

using Upsampler = Cubic<float>;

inline Upsampler upsampler_for(const float h[4])
{
    return cubic_through(h[0], h[1], h[2], h[3]);
}

inline float upsample(const Upsampler& s, float t)
{
    return upsample(s.c3, s.c2, s.c1, t);
}

// Triangle modulator of the read position: |phase| sweeps 0..1..0.
inline float advance_lfo(Tube& tube)
{
    float phase = tube.lfo_phase + tube.lfo_step;
    if (!(phase < 1.0f)) {
        phase = phase - 2.0f;
    }
    tube.lfo_phase = phase;
    return std::fabs(phase);
}

// Six-point quintic B-spline on the segment between p2 and p3.
template <class V>
STEP_INLINE V quintic(V p0, V p1, V p2, V p3, V p4, V p5, V f)
{
    const V e5 = (p3 - p2) * TWELFTH + (p1 - p4) * TWENTY_FOURTH + (p5 - p0) * HUNDRED_TWENTIETH;
    const V e4 = p2 * 0.25f + (p0 + p4) * TWENTY_FOURTH - (p1 + p3) * SIXTH;
    const V e3 = (p4 - p0) * TWELFTH - (p3 - p1) * SIXTH;
    const V e2 = (p0 + p4) * TWELFTH + (p1 + p3) * SIXTH - p2 * 0.5f;
    const V e1 = (p3 - p1) * FIVE_TWELFTHS + (p4 - p0) * TWENTY_FOURTH;
    const V e0 = p2 * 0.55f + (p1 + p3) * THIRTEEN_SIXTIETHS + (p0 + p4) * HUNDRED_TWENTIETH;
    return ((((e5 * f + e4) * f + e3) * f + e2) * f + e1) * f + e0;
}

inline float read_delay(const float* p, float f)
{
    return quintic(p[0], p[1], p[2], p[3], p[4], p[5], f);
}

// Interpolated, modulated read of the tube's delay line. The guard slots let
// the six points be read without wrapping.
inline float read_modulated(const Tube& tube, const float* line, float modulation)
{
    float q = fused(tube.lfo_depth, modulation + 1.0f, tube.read_pos + 1.0f);
    if (q >= DELAY_SPAN) {
        q = q - DELAY_SPAN;
    }
    // The split of modff, done inline: q lies in [0, 6004), where truncation
    // through an integer is exact and q - i is the exact fraction, bit for bit
    // what modff gives.
    const auto i = static_cast<uint32_t>(static_cast<int32_t>(q));
    const float f = q - static_cast<float>(i);
    return read_delay(&line[i], f);
}

inline float dc_block(Tube& tube, float v)
{
    const double product = DC_POLE * static_cast<double>(tube.integ);
    const auto y = static_cast<float>(fused(DC_GAIN, static_cast<double>(v), product));
    const float d = y - tube.integ;
    tube.integ = y;
    return d;
}

// The fixed high-pass (HIGHPASS_POLE) followed by the damping low-pass.
// k(A - x) is used three times and never rounded on its own, so each use is
// one fused step.
inline float loop_filter(Tube& tube, float x)
{
    const float k = tube.highpass_coef;
    const float c = tube.damping_coef;
    const float a_minus_x = tube.highpass_state - x;
    const float lowpassed = fused(k, a_minus_x, x);
    const float damped = fused(-k, a_minus_x, c * fused(k, a_minus_x, tube.damping_state));
    tube.highpass_state = lowpassed;
    tube.damping_state = damped;
    return damped;
}

inline void write_delay(Tube& tube, float* line, float value)
{
    const uint64_t w = tube.write_index;
    line[w] = value;
    if (w < DELAY_GUARD) {
        line[DELAY_SIZE + w] = value;
    }
    tube.write_index = w + 1 == DELAY_SIZE ? 0 : w + 1;
}

inline void advance_read(Tube& tube)
{
    const float r = tube.read_pos + tube.read_speed;
    tube.read_pos = r < DELAY_SPAN ? r : r - DELAY_SPAN;
}

// d / sqrt(1 + d^2): bounded by 1 for every finite d.
inline float soft_clip(float d)
{
    return d / std::sqrt(fused(d, d, 1.0f));
}
