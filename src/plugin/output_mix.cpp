#include "plugin/output_mix.h"

#include <cmath>

OutputMix output_mix(float width_percent, float mix_percent)
{
    const double pi = 3.14159265358979323846;
    const double width = width_percent / 100.0;
    OutputMix mix;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        const double angle = pi / 4.0 * (1.0 + width * WIDEST_OFFSET[i]);
        mix.tube_left[i] = static_cast<float>(WET_TRIM * std::cos(angle));
        mix.tube_right[i] = static_cast<float>(WET_TRIM * std::sin(angle));
    }
    const double m = mix_percent / 100.0;
    mix.dry = static_cast<float>(std::fmin(1.0, 2.0 * (1.0 - m)));
    mix.wet = static_cast<float>(std::fmin(1.0, 2.0 * m));
    return mix;
}

namespace {

// The tubes summed in order, tube 1 first.
inline float sum_tubes(const float (&gain)[TUBE_COUNT], const float* const tubes[TUBE_COUNT],
                       uint32_t f)
{
    return ((gain[0] * tubes[0][f] + gain[1] * tubes[1][f]) + gain[2] * tubes[2][f]) +
           gain[3] * tubes[3][f];
}

}  // namespace

void mix_frames(const OutputMix& mix, const float* dry_left, const float* dry_right,
                const float* const tubes[TUBE_COUNT], float* out_left, float* out_right,
                uint32_t frame_count)
{
    // With no dry share the input is not read at all: the tubes alone come
    // out exactly, and a non-finite input sample cannot reach the output
    // through a zero gain.
    if (mix.dry == 0.0f) {
        for (uint32_t f = 0; f < frame_count; ++f) {
            const float left = sum_tubes(mix.tube_left, tubes, f);
            const float right = sum_tubes(mix.tube_right, tubes, f);
            out_left[f] = mix.wet * left;
            out_right[f] = mix.wet * right;
        }
        return;
    }
    for (uint32_t f = 0; f < frame_count; ++f) {
        const float dl = dry_left[f];
        const float dr = dry_right[f];
        const float left = sum_tubes(mix.tube_left, tubes, f);
        const float right = sum_tubes(mix.tube_right, tubes, f);
        out_left[f] = mix.dry * dl + mix.wet * left;
        out_right[f] = mix.dry * dr + mix.wet * right;
    }
}
