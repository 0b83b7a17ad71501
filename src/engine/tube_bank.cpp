#include "engine/tube_bank.h"

// Every scalar field of the record, once; load and store both walk this list,
// so a field cannot be copied one way and forgotten the other.
#define EACH_FIELD(X)                                                                            \
    X(note) X(transpose) X(decay) X(damping_hz) X(level_db) X(gain) X(damping_coef)              \
    X(damping_state) X(highpass_coef) X(highpass_state) X(sample_rate) X(feedback) X(read_pos)   \
    X(write_index) X(decay_time) X(length) X(glide_target) X(pending_length) X(gliding)          \
    X(read_speed) X(write_gain) X(lfo_depth) X(lfo_step) X(lfo_phase) X(integ)

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

Tube load_tube(const TubeBank& bank, int i)
{
    // Value-initialised, so that records compare whole, padding included.
    Tube tube = Tube();
#define LOAD(field) tube.field = bank.field[i];
    EACH_FIELD(LOAD)
#undef LOAD
    for (int k = 0; k < 4; ++k) {
        tube.in_hist[k] = bank.in_hist[i][k];
        tube.phases[k] = bank.phases[i][k];
    }
    return tube;
}

void store_tube(TubeBank& bank, int i, const Tube& tube)
{
#define STORE(field) bank.field[i] = tube.field;
    EACH_FIELD(STORE)
#undef STORE
    for (int k = 0; k < 4; ++k) {
        bank.in_hist[i][k] = tube.in_hist[k];
        bank.phases[i][k] = tube.phases[k];
    }
}

void set_tube(TubeBank& bank, int i, void (*operation)(Tube&, float), float value)
{
    Tube tube = load_tube(bank, i);
    operation(tube, value);
    store_tube(bank, i, tube);
}
