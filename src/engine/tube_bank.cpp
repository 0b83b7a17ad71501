#include "engine/tube_bank.h"

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
#define LOAD(kind, name) tube.name = bank.name[i];
    TUBE_FIELDS(LOAD)
#undef LOAD
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

void set_tube(TubeBank& bank, int i, void (*operation)(Tube&, float), float value)
{
    Tube tube = load_tube(bank, i);
    operation(tube, value);
    store_tube(bank, i, tube);
}
