#include "plugin/output_mix.h"

#include <cmath>

#include "plugin/four_frames.h"

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
template <class V>
inline V sum_tubes(const float (&gain)[TUBE_COUNT], const V (&tube)[TUBE_COUNT])
{
    return ((gain[0] * tube[0] + gain[1] * tube[1]) + gain[2] * tube[2]) + gain[3] * tube[3];
}

// Frames f.. (one, or four) of the outputs, with a dry share (DRY) or
// without. With none the input is not read at all: the tubes alone come out
// exactly, and a non-finite input sample cannot reach the output through a
// zero gain. The dry inputs are read before either output is written.
template <bool DRY, class V>
inline void mix_at(const OutputMix& mix, const float* dry_left, const float* dry_right,
                   const float* const tubes[TUBE_COUNT], float* out_left, float* out_right,
                   uint32_t f, V)
{
    const V tube[TUBE_COUNT] = {frames_at(tubes[0], f, V()), frames_at(tubes[1], f, V()),
                                frames_at(tubes[2], f, V()), frames_at(tubes[3], f, V())};
    const V left = sum_tubes(mix.tube_left, tube);
    const V right = sum_tubes(mix.tube_right, tube);
    if (!DRY) {
        put_frames(out_left, f, mix.wet * left);
        put_frames(out_right, f, mix.wet * right);
        return;
    }
    const V dl = frames_at(dry_left, f, V());
    const V dr = frames_at(dry_right, f, V());
    put_frames(out_left, f, mix.dry * dl + mix.wet * left);
    put_frames(out_right, f, mix.dry * dr + mix.wet * right);
}

// Four frames at a time from copies of the gains and the tubes' buffers that
// no output can alias, so that they stay in registers; the last few frames
// from them as they are.
template <bool DRY>
inline void mix_block(const OutputMix& mix, const float* dry_left, const float* dry_right,
                      const float* const tubes[TUBE_COUNT], float* out_left, float* out_right,
                      uint32_t frame_count)
{
    const uint32_t whole = frame_count / 4 * 4;
    if (whole > 0) {
        const OutputMix gains = mix;
        const float* const rows[TUBE_COUNT] = {tubes[0], tubes[1], tubes[2], tubes[3]};
        for (uint32_t f = 0; f < whole; f += 4) {
            mix_at<DRY>(gains, dry_left, dry_right, rows, out_left, out_right, f, FourFrames());
        }
    }
    for (uint32_t f = whole; f < frame_count; ++f) {
        mix_at<DRY>(mix, dry_left, dry_right, tubes, out_left, out_right, f, 0.0f);
    }
}

}  // namespace

void mix_frames(const OutputMix& mix, const float* dry_left, const float* dry_right,
                const float* const tubes[TUBE_COUNT], float* out_left, float* out_right,
                uint32_t frame_count)
{
    if (mix.dry == 0.0f) {
        mix_block<false>(mix, dry_left, dry_right, tubes, out_left, out_right, frame_count);
    } else {
        mix_block<true>(mix, dry_left, dry_right, tubes, out_left, out_right, frame_count);
    }
}
