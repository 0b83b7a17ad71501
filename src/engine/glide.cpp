#include "engine/glide.h"

uint64_t measured_length(const Tube& tube)
{
    // write_index has already advanced this sub-step and read_pos has not,
    // so at rest the measurement stays constant from sub-step to sub-step.
    const auto read_slot = static_cast<uint64_t>(static_cast<int64_t>(tube.read_pos));
    uint64_t length = tube.write_index - read_slot;
    if (tube.read_pos >= static_cast<float>(tube.write_index)) {
        length += DELAY_SIZE;
    }
    return length;
}

void glide_update(Tube& tube)
{
    if (!tube.gliding) {
        if (tube.pending_length == 0) {
            return;
        }
        // The direction is chosen against the stored length, not a fresh
        // measurement; the first measurement comes with the next sub-step.
        tube.glide_target = tube.pending_length;
        tube.read_speed = tube.pending_length > tube.length ? SPEED_GROW : SPEED_SHRINK;
        tube.gliding = true;
        tube.pending_length = 0;
        return;
    }

    const uint64_t length = measured_length(tube);
    tube.length = length;
    if (length != tube.glide_target) {
        return;
    }
    tube.gliding = false;
    tube.read_speed = SPEED_REST;
    tube.feedback = arrival_feedback(length, tube.decay_time, tube.sample_rate);
    log_feedback(tube.feedback, length);
}
