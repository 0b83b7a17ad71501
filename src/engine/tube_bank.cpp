#include "engine/tube_bank.h"

#include <algorithm>
#include <cstring>

TubeBank::TubeBank()
{
    for (int i = 0; i < TUBE_COUNT; ++i) {
        Tube tube;
        construct_tube(tube);
        store_tube(*this, i, tube);
        for (float& slot : delay[i]) {
            slot = 0.0f;
        }
    }
}

namespace {

void load_fields(const TubeBank& bank, int i, Tube& tube)
{
#define LOAD(kind, name) tube.name = bank.name[i];
    TUBE_FIELDS(LOAD)
#undef LOAD
}

}  // namespace

Tube load_tube(const TubeBank& bank, int i)
{
    // Value-initialised, so that records compare whole, padding included.
    Tube tube = Tube();
    load_fields(bank, i, tube);
    return tube;
}

void store_tube(TubeBank& bank, int i, const Tube& tube)
{
#define STORE(kind, name) bank.name[i] = tube.name;
    TUBE_FIELDS(STORE)
#undef STORE
    bank.lanes_checked = false;
    bank.reads_first_frames = 0;
}

TuningQuestion tuning_question(const TubeBank& bank, int i)
{
    return tuning_question(bank.note[i], bank.transpose[i], bank.sample_rate[i],
                           bank.damping_coef[i], bank.decay[i]);
}

namespace {

// A tube's line re-laid from old_size slots to its new line_size, so that it
// rings on through the change: every slot the smaller size holds stays as
// many sub-steps behind the write index (a grown line's oldest slots start
// silent), and so does the read position, up to the farthest the new line
// holds. The write index starts again at slot 0. A glide under way heads for
// no farther than the new line holds. Out of line: it happens only when the
// tuning or the rate changes, and set_tube runs at every control change.
__attribute__((noinline, cold)) void relay_line(float* line, Tube& tube, uint64_t old_size)
{
    const uint64_t size = tube.line_size;
    const uint64_t w = tube.write_index;
    // Oldest first: slot j then holds what was written old_size - j
    // sub-steps ago.
    std::rotate(line, line + w, line + old_size);
    if (size > old_size) {
        std::memmove(line + (size - old_size), line, old_size * sizeof(float));
        std::fill(line, line + (size - old_size), 0.0f);
    } else {
        std::memmove(line, line + (old_size - size), size * sizeof(float));
    }
    for (uint64_t g = 0; g < DELAY_GUARD; ++g) {
        line[size + g] = line[g];
    }

    // The read position as far behind slot 0 as it was behind w.
    const float from_write = tube.read_pos - static_cast<float>(w);
    const float wrap = tube.read_pos >= static_cast<float>(w)
                           ? static_cast<float>(size) - static_cast<float>(old_size)
                           : static_cast<float>(size);
    const float read_pos = from_write + wrap;
    const uint64_t longest = size - 1;
    tube.write_index = 0;
    tube.read_pos = read_pos >= 1.0f && read_pos < static_cast<float>(size) ? read_pos : 1.0f;
    tube.length = std::min(tube.length, longest);
    tube.glide_target = std::min(tube.glide_target, longest);
    tube.pending_length = std::min(tube.pending_length, longest);
}

}  // namespace

void set_tube(TubeBank& bank, int i, void (*operation)(Tube&, float), float value)
{
    // Only the fields go back to the bank, so this record's padding is left
    // as it is: a host's automation makes one at every change, for every
    // tube.
    Tube tube;
    load_fields(bank, i, tube);
    operation(tube, value);
    if (tube.line_size != bank.line_size[i]) {
        relay_line(bank.delay[i], tube, bank.line_size[i]);
    }
    store_tube(bank, i, tube);
}
