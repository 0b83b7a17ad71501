#include "engine/tube_bank.h"

#include <cstddef>

namespace {

// One field of a tube copied between the record and its lane of the bank.
template <class T>
void copy_field(T& to, const T& from)
{
    to = from;
}

template <class T, size_t N>
void copy_field(T (&to)[N], const T (&from)[N])
{
    for (size_t k = 0; k < N; ++k) {
        to[k] = from[k];
    }
}

}  // namespace

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
#define LOAD(kind, name) copy_field(tube.name, bank.name[i]);
    TUBE_FIELDS(LOAD)
#undef LOAD
    return tube;
}

void store_tube(TubeBank& bank, int i, const Tube& tube)
{
#define STORE(kind, name) copy_field(bank.name[i], tube.name);
    TUBE_FIELDS(STORE)
#undef STORE
    bank.lanes_checked = false;
}

void set_tube(TubeBank& bank, int i, void (*operation)(Tube&, float), float value)
{
    Tube tube = load_tube(bank, i);
    operation(tube, value);
    store_tube(bank, i, tube);
}
