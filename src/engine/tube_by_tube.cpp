#include "engine/tube_by_tube.h"

#include "engine/sample_steps.h"

namespace {

// A glide arrival of the one tube: the feedback for the length reached,
// logged at once, as the tubes run one after another.
struct LogArrival {
    const Tube& tube;
    float operator()(int, uint64_t length) const
    {
        const float feedback = arrival_feedback(length, tube.decay_time, tube.sample_rate);
        log_feedback(feedback, length);
        return feedback;
    }
};

}  // namespace

void tube_by_tube_frames(TubeBank& bank, const float* const input[TUBE_COUNT],
                         float* const output[TUBE_COUNT], uint32_t frame_count)
{
    // A host may hand one tube's output the buffer of another tube's input, so
    // a block's inputs are all copied before any of its outputs is written.
    float block_in[TUBE_COUNT][BLOCK_FRAMES];
    for (uint32_t start = 0; start < frame_count; start = next_block_start(start, frame_count)) {
        const uint32_t frames =
            frame_count - start < BLOCK_FRAMES ? frame_count - start : BLOCK_FRAMES;
        for (int i = 0; i < TUBE_COUNT; ++i) {
            for (uint32_t s = 0; s < frames; ++s) {
                block_in[i][s] = input[i][start + s];
            }
        }
        for (int i = 0; i < TUBE_COUNT; ++i) {
            Tube tube = load_tube(bank, i);
            const OneLine line{bank.delay[i]};
            LogArrival arrived{tube};
            float* out = output[i] + start;
            for (uint32_t s = 0; s < frames; ++s) {
                out[s] = frame(tube, line, block_in[i][s], arrived);
            }
            store_tube(bank, i, tube);
        }
    }
}
