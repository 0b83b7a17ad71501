#include "engine/scalar_engine.h"

#include "engine/glide.h"
#include "engine/sample_steps.h"

namespace {

// The per-frame work is forced inline so that each build of scalar_frames
// below carries its own copy of it.
#define ENGINE_INLINE inline __attribute__((always_inline))

// One of the four sub-steps of a frame; returns the DC-free delay output.
ENGINE_INLINE float sub_step(Tube& tube, float* line, const Upsampler& input, float t)
{
    const float u = upsample(input, t);
    const float modulation = advance_lfo(tube);
    const float v = read_modulated(tube, line, modulation);
    const float d = dc_block(tube, v);
    const float x = fused(tube.feedback, d, u) + input.c0;
    write_delay(tube, line, loop_filter(tube, x) * tube.write_gain);
    glide_update(tube);
    advance_read(tube);
    return d;
}

ENGINE_INLINE float process_frame(Tube& tube, float* line, float in)
{
    const float g = tube.gain;
    tube.in_hist[0] = tube.in_hist[1];
    tube.in_hist[1] = tube.in_hist[2];
    tube.in_hist[2] = tube.in_hist[3];
    tube.in_hist[3] = in;
    const Upsampler input = upsampler_for(tube.in_hist);
    float d = 0.0f;
    for (const float t : tube.phases) {
        d = sub_step(tube, line, input, t);
    }
    return soft_clip(d) * g;
}

}  // namespace

void scalar_frames(TubeBank& bank, const float* const input[TUBE_COUNT],
                   float* const output[TUBE_COUNT], uint32_t frame_count)
{
    // A host may hand one tube's output the buffer of another tube's input, so
    // a block's inputs are all copied before any of its outputs is written.
    float block_in[TUBE_COUNT][BLOCK_FRAMES];
    for (uint32_t start = 0; start < frame_count;
         start = next_block_start(start, frame_count)) {
        const uint32_t frames =
            frame_count - start < BLOCK_FRAMES ? frame_count - start : BLOCK_FRAMES;
        for (int i = 0; i < TUBE_COUNT; ++i) {
            for (uint32_t s = 0; s < frames; ++s) {
                block_in[i][s] = input[i][start + s];
            }
        }
        for (int i = 0; i < TUBE_COUNT; ++i) {
            Tube tube = load_tube(bank, i);
            float* line = bank.delay[i];
            float* out = output[i] + start;
            for (uint32_t s = 0; s < frames; ++s) {
                out[s] = process_frame(tube, line, block_in[i][s]);
            }
            store_tube(bank, i, tube);
        }
    }
}
