#pragma once

// The four tubes' loop state in the lockstep engine's lanes, one lane per
// tube: which banks the lanes can take, and the state's way from the bank
// into the registers and back.
//
// Compiled once per instruction set with the rest of the lockstep engine
// (engine/lockstep_core.h): everything here is static and forced inline.

#include <cstdint>
#include <type_traits>

#include "engine/lane_ops.h"
#include "engine/tube_bank.h"

namespace lockstep {

// The kinds of field in the engine's registers: four lanes each, one per
// tube. The lengths fit 32-bit lanes (up to a line's size), and a flag is a
// lane mask.
struct LaneKinds {
    using REAL = F32x4;
    using COUNT = I32x4;
    using FLAG = I32x4;
};

// The four tubes' loop state while the engine runs, its fields of the kinds
// Kinds gives. The settings (what only a glide arrival reads) stay in the
// bank.
template <class Kinds>
struct LoopLanes {
#define LOCKSTEP_LANES_FIELD(kind, name) typename Kinds::kind name;
    TUBE_LOOP_STATE(LOCKSTEP_LANES_FIELD)
#undef LOCKSTEP_LANES_FIELD
};

using Lanes = LoopLanes<LaneKinds>;

// The lockstep engine takes the bank only when every lane is within the
// ranges the engine itself keeps: lines of one size that the lines' room
// holds, and indices and lengths within it, which fit 32-bit lanes. Anything
// else (a bank a test put together by hand, or caught between set operations
// that change the tubes' line sizes one by one) runs tube by tube.
LANE_INLINE bool fits_lanes(const TubeBank& bank)
{
    const uint64_t size = bank.line_size[0];
    if (size < DELAY_GUARD + SUB_STEPS || size > LONG_DELAY_SIZE) {
        return false;
    }
    for (int k = 0; k < TUBE_COUNT; ++k) {
        if (bank.line_size[k] != size || bank.write_index[k] >= size || bank.length[k] > size ||
            bank.glide_target[k] > size || bank.pending_length[k] > size ||
            !(bank.read_pos[k] >= 0.0f && bank.read_pos[k] < static_cast<float>(size))) {
            return false;
        }
    }
    return true;
}

// One field between the bank and the registers, by the kind of field.
LANE_INLINE void load_field(F32x4& lanes, const float (&field)[TUBE_COUNT])
{
    lanes = load(field);
}

LANE_INLINE void load_field(I32x4& lanes, const uint64_t (&field)[TUBE_COUNT])
{
    U64x4 wide;
    __builtin_memcpy(&wide, field, sizeof wide);
    lanes = __builtin_convertvector(wide, I32x4);
}

LANE_INLINE void load_field(I32x4& lanes, const bool (&field)[TUBE_COUNT])
{
    lanes = I32x4{-field[0], -field[1], -field[2], -field[3]};
}

LANE_INLINE void store_field(float (&field)[TUBE_COUNT], F32x4 lanes)
{
    __builtin_memcpy(field, &lanes, sizeof lanes);
}

LANE_INLINE void store_field(uint64_t (&field)[TUBE_COUNT], I32x4 lanes)
{
    const U64x4 wide = __builtin_convertvector((U32x4)lanes, U64x4);
    __builtin_memcpy(field, &wide, sizeof wide);
}

LANE_INLINE void store_field(bool (&field)[TUBE_COUNT], I32x4 lanes)
{
    // A mask lane is 0 or -1; its lowest bit, one byte a lane, is the bool.
    typedef uint8_t U8x4 __attribute__((vector_size(TUBE_COUNT)));
    const U8x4 bytes = __builtin_convertvector(lanes & 1, U8x4);
    __builtin_memcpy(field, &bytes, sizeof bytes);
}

LANE_INLINE Lanes load_lanes(const TubeBank& bank)
{
    Lanes s;
#define LOAD(kind, name) load_field(s.name, bank.name);
    TUBE_LOOP_STATE(LOAD)
#undef LOAD
    return s;
}

// The same state for a call of one frame, its single-precision fields left
// where they lie in the bank: the frame's steps read and write them there,
// and the compiler keeps each in a register from its first use to its last.
// Loaded all at once before the frame, they stayed alive across its reads,
// and most of them went to the stack and back on the way: 55 instructions
// of every such call on x86-64. A block of frames keeps its state in
// registers (Lanes), where it stays from frame to frame.
template <class Kind>
struct InBankOf {
    using type = Kind;
};
template <>
struct InBankOf<F32x4> {
    using type = F32x4&;
};

struct LanesInBank {
#define LOCKSTEP_IN_BANK_FIELD(kind, name) typename InBankOf<LaneKinds::kind>::type name;
    TUBE_LOOP_STATE(LOCKSTEP_IN_BANK_FIELD)
#undef LOCKSTEP_IN_BANK_FIELD
};

// A vector lvalue may alias the floats of its lanes.
LANE_INLINE F32x4& in_bank(float (&field)[TUBE_COUNT])
{
    return *reinterpret_cast<F32x4*>(field);
}

template <class Field>
LANE_INLINE I32x4 in_bank(const Field& field)
{
    I32x4 lanes;
    load_field(lanes, field);
    return lanes;
}

LANE_INLINE LanesInBank lanes_in_bank(TubeBank& bank)
{
#define IN_BANK(kind, name) in_bank(bank.name),
    return LanesInBank{TUBE_LOOP_STATE(IN_BANK)};
#undef IN_BANK
}

// What a call can have changed goes back to the bank: what every sub-step
// moves; the length where a lane glided; the rest of the glide's state where
// a lane took a request up or arrived. The loop's settings never change.
struct Changed {
    bool length;
    bool glide_events;
};

// A field left in place (LanesInBank) is written already.
template <class S>
LANE_INLINE void store_lanes(TubeBank& bank, const S& s, Changed changed)
{
#define STORE(kind, name)                                    \
    if constexpr (!std::is_reference_v<decltype(S::name)>) { \
        store_field(bank.name, s.name);                      \
    }
    TUBE_LOOP_MOTION(STORE)
    if (changed.length) {
        TUBE_GLIDE_LENGTH(STORE)
    }
    if (changed.glide_events) {
        TUBE_GLIDE_EVENTS(STORE)
    }
#undef STORE
}

}  // namespace lockstep
