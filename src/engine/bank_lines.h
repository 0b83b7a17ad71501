#pragma once

// The bank's four delay lines as the lockstep engine's lanes read and write
// them: the six points of every lane's read, a frame's reads made in a row,
// and a frame's four writes. Each processor's form loads and stores the
// lanes its own way; the values are the same.
//
// Compiled once per instruction set with the rest of the lockstep engine
// (engine/lockstep_core.h): everything here is static and forced inline.

#include <cstdint>

#include "engine/lane_ops.h"
#include "engine/sample_steps.h"
#include "engine/tube_bank.h"

#if defined(__arm__) && defined(__ARM_NEON)
#include "engine/lanes_neon_arm.h"
#endif

namespace lockstep {

// The bank's four delay lines, one per lane. Each lane writes at its own
// index; SHARED says that every lane's index is the same, as it is whenever
// the tubes started together (every tube starts at 0 and advances one slot
// per sub-step), so that one index serves all four lines.
#if defined(__aarch64__)
// The six-point read's weights in the lanes of three registers: the loop
// needs more registers than NEON has, and the compiler would otherwise load
// each weight again from the constant pool where it is used.
// The values are QuinticWeights', each placed in the lane its member names.
struct HeldQuinticWeights {
    using W = QuinticWeights;
    F32x4 first = held(F32x4{W::twelfth, W::twenty_fourth, W::hundred_twentieth, W::sixth});
    F32x4 second =
        held(F32x4{W::five_twelfths, W::thirteen_sixtieths, W::fifty_five_hundredths, W::quarter});
    F32x4 third = held(F32x4{W::half, 0.0f, 0.0f, 0.0f});
    HeldConstant<0> twelfth{first};
    HeldConstant<1> twenty_fourth{first};
    HeldConstant<2> hundred_twentieth{first};
    HeldConstant<3> sixth{first};
    HeldConstant<0> five_twelfths{second};
    HeldConstant<1> thirteen_sixtieths{second};
    HeldConstant<2> fifty_five_hundredths{second};
    HeldConstant<3> quarter{second};
    HeldConstant<0> half{third};
};
#endif

template <bool SHARED>
struct BankLines {
    TubeBank& bank;
#if defined(__aarch64__)
    HeldQuinticWeights weights{};
    // Where each line starts, in registers: the lines lie at offsets from
    // the bank too large for one instruction, and the compiler would build
    // each again where a row is read or written.
    float* const start[TUBE_COUNT] = {held(bank.delay[0]), held(bank.delay[1]),
                                      held(bank.delay[2]), held(bank.delay[3])};
#endif
    float* line(int k) const { return bank.delay[k]; }
    int32_t slot(I32x4 index, int k) const { return SHARED ? index[0] : index[k]; }
    uint32_t slot(uint32_t index, int) const { return index; }
};

#if defined(__aarch64__)
template <bool SHARED, class V>
LANE_INLINE const HeldQuinticWeights& read_weights(const BankLines<SHARED>& lines, V)
{
    return lines.weights;
}
#endif

#if defined(__aarch64__)
// Two lanes' rows from one 64-bit move of their two slot indices: the low
// index is the low half, the high one (times four, its byte offset) the half
// shifted down by 30, since every index is below 2^30 and the low half's top
// bits are zero.
LANE_INLINE void rows_of_pair(uint64_t pair, const float* line_low, const float* line_high,
                              const float*& row_low, const float*& row_high)
{
    row_low = line_low + static_cast<uint32_t>(pair);
    row_high = reinterpret_cast<const float*>(reinterpret_cast<const char*>(line_high) +
                                              (pair >> 30));
}

// The six points of every lane at its own slot of its own line. AArch64's
// structure loads transpose as they load: ld4 puts four consecutive slots
// into one lane of four registers, ld2 the next two into one lane of two
// more, so that each lane's row costs two loads and no shuffle. The first
// row loads into every lane (ld4r, ld2r), which defines the registers; the
// other three replace their own lane. The registers of a structure load are
// consecutive, which only fixed registers can promise (the compiler's own
// structure types went through the stack).
template <bool SHARED>
LANE_INLINE void six_points(const BankLines<SHARED>& lines, I32x4 index, F32x4 (&p)[6])
{
    static_assert(LONG_DELAY_SIZE + DELAY_GUARD < (1u << 30), "slot indices fit 30 bits");
    const U64x2 pairs = (U64x2)index;
    const float *r0, *r1, *r2, *r3;
    rows_of_pair(pairs[0], lines.start[0], lines.start[1], r0, r1);
    rows_of_pair(pairs[1], lines.start[2], lines.start[3], r2, r3);
    register float32x4_t p0 __asm__("v16"), p1 __asm__("v17"), p2 __asm__("v18"),
        p3 __asm__("v19"), p4 __asm__("v20"), p5 __asm__("v21");
    const float *a = r0, *b = r1, *c = r2, *d = r3;
    __asm__("ld4r {%0.4s - %3.4s}, [%6], #16\n\t"
            "ld4 {%0.s - %3.s}[1], [%7], #16\n\t"
            "ld4 {%0.s - %3.s}[2], [%8], #16\n\t"
            "ld4 {%0.s - %3.s}[3], [%9], #16\n\t"
            "ld2r {%4.4s - %5.4s}, [%6]\n\t"
            "ld2 {%4.s - %5.s}[1], [%7]\n\t"
            "ld2 {%4.s - %5.s}[2], [%8]\n\t"
            "ld2 {%4.s - %5.s}[3], [%9]"
            : "=&w"(p0), "=&w"(p1), "=&w"(p2), "=&w"(p3), "=&w"(p4), "=&w"(p5), "+r"(a),
              "+r"(b), "+r"(c), "+r"(d)
            : "m"(*reinterpret_cast<const float(*)[6]>(r0)),
              "m"(*reinterpret_cast<const float(*)[6]>(r1)),
              "m"(*reinterpret_cast<const float(*)[6]>(r2)),
              "m"(*reinterpret_cast<const float(*)[6]>(r3)));
    p[0] = (F32x4)p0;
    p[1] = (F32x4)p1;
    p[2] = (F32x4)p2;
    p[3] = (F32x4)p3;
    p[4] = (F32x4)p4;
    p[5] = (F32x4)p5;
}
#else
// Each lane's slot as an offset from the first line's start, so that each
// lane's row is one load away from one base.
LANE_INLINE U32x4 offsets_from_first_line(I32x4 index)
{
    return (U32x4)(index + I32x4{0, 1, 2, 3} * int32_t(DELAY_STRIDE));
}

// The six points of every lane at its own slot of its own line, one row
// loaded per lane and transposed into six vectors.
template <bool SHARED>
LANE_INLINE void six_points(const BankLines<SHARED>& lines, I32x4 index, F32x4 (&p)[6])
{
    const float* line0 = &lines.bank.delay[0][index[0]];
    const float* line1 = &lines.bank.delay[1][index[1]];
    const float* line2 = &lines.bank.delay[2][index[2]];
    const float* line3 = &lines.bank.delay[3][index[3]];
    F32x4 q2, q3;
    transpose(load(line0), load(line1), load(line2), load(line3), p[0], p[1], p[2], p[3]);
    transpose(load(line0 + 2), load(line1 + 2), load(line2 + 2), load(line3 + 2), q2, q3, p[4],
              p[5]);
}

// The same for two sub-steps at once in eight lanes: the first sub-step's
// slots in the low four, the second's in the high four.
template <bool SHARED>
LANE_INLINE void six_points(const BankLines<SHARED>& lines, I32x4x2 index, F32x8 (&p)[6])
{
    const U32x4 a = offsets_from_first_line(index.low);
    const U32x4 b = offsets_from_first_line(index.high);
    const float* base = &lines.bank.delay[0][0];
    // Eight slots from each lane's read slot: the last two lie in the
    // padding after the guard slots at worst, and are not used.
    static_assert(LONG_DELAY_SIZE - 1 + 8 <= DELAY_STRIDE,
                  "eight slots from any read slot fit the line");
    // Written out lane by lane (no arrays), so that every row can stay in a
    // register.
    F32x8 row0, row1, row2, row3, next0, next1, next2, next3;
    join_rows(base + a[0], base + b[0], row0, next0);
    join_rows(base + a[1], base + b[1], row1, next1);
    join_rows(base + a[2], base + b[2], row2, next2);
    join_rows(base + a[3], base + b[3], row3, next3);
    F32x8 q6, q7;
    transpose(row0, row1, row2, row3, p[0], p[1], p[2], p[3]);
    transpose(next0, next1, next2, next3, p[4], p[5], q6, q7);
}
#endif

// The four sub-steps' reads from the nine slots in a row, s[k] holding slot
// k of every lane: sub-step j reads s_j..s_(j+5).
template <class V, class W>
LANE_INLINE void reads_of_row(const V (&s)[9], V f0, V f1, V f2, V f3, const W& w, V& v0, V& v1,
                              V& v2, V& v3)
{
    v0 = quintic(s[0], s[1], s[2], s[3], s[4], s[5], f0, w);
    v1 = quintic(s[1], s[2], s[3], s[4], s[5], s[6], f1, w);
    v2 = quintic(s[2], s[3], s[4], s[5], s[6], s[7], f2, w);
    v3 = quintic(s[3], s[4], s[5], s[6], s[7], s[8], f3, w);
}

// The reads of a frame's four sub-steps where each lane reads one slot further
// at every sub-step, as it does at rest but for a step of two or none every
// few thousand sub-steps, or at the wrap: the sub-steps' six points are then
// nine slots in a row, s_0..s_8 from the first sub-step's slot, loaded once
// per lane. The eight-lane points of sub-steps 0 and 1 are [s_k | s_(k+1)]
// for k = 0..5, those of sub-steps 2 and 3 the same for k = 2..7. Reading
// two sub-steps at a time instead loads each lane's rows again for every
// pair and takes every sub-step's slot out of its index. read_in_a_row
// returns false, having read nothing, where the slots do not follow.
#if defined(__AVX__)
// One row of eight slots per lane, transposed in each half of eight lanes,
// gives x_k = [s_k | s_(k+4)]; the pairs join their halves. The slots follow
// without a wrap, so the first is at most size - 4 and the ninth lies among
// the guard copies after the line.
static_assert(DELAY_GUARD >= 5, "the ninth slot from size - 4 is a guard copy");
template <bool SHARED>
LANE_INLINE void pairs_in_a_row(const BankLines<SHARED>& lines, I32x4 index, F32x8 (&s)[8])
{
    const U32x4 a = offsets_from_first_line(index);
    const float* base = &lines.bank.delay[0][0];
    F32x8 x0, x1, x2, x3;
    transpose((F32x8)_mm256_loadu_ps(base + a[0]), (F32x8)_mm256_loadu_ps(base + a[1]),
              (F32x8)_mm256_loadu_ps(base + a[2]), (F32x8)_mm256_loadu_ps(base + a[3]), x0, x1, x2,
              x3);
    const F32x4 s8 = F32x4{base[a[0] + 8], base[a[1] + 8], base[a[2] + 8], base[a[3] + 8]};
    s[0] = __builtin_shufflevector(x0, x1, 0, 1, 2, 3, 8, 9, 10, 11);
    s[1] = __builtin_shufflevector(x1, x2, 0, 1, 2, 3, 8, 9, 10, 11);
    s[2] = __builtin_shufflevector(x2, x3, 0, 1, 2, 3, 8, 9, 10, 11);
    s[3] = __builtin_shufflevector(x3, x0, 0, 1, 2, 3, 12, 13, 14, 15);
    s[4] = __builtin_shufflevector(x0, x1, 4, 5, 6, 7, 12, 13, 14, 15);
    s[5] = __builtin_shufflevector(x1, x2, 4, 5, 6, 7, 12, 13, 14, 15);
    s[6] = __builtin_shufflevector(x2, x3, 4, 5, 6, 7, 12, 13, 14, 15);
    s[7] = (F32x8)_mm256_permute2f128_ps((__m256)x3, _mm256_castps128_ps256((__m128)s8), 0x21);
}

template <bool SHARED>
LANE_INLINE void reads_in_a_row(const BankLines<SHARED>& lines, I32x4 index, F32x8 f01, F32x8 f23,
                                F32x8& v01, F32x8& v23)
{
    F32x8 s[8];
    pairs_in_a_row(lines, index, s);
    v01 = quintic(s[0], s[1], s[2], s[3], s[4], s[5], f01, read_weights(lines, f01));
    v23 = quintic(s[2], s[3], s[4], s[5], s[6], s[7], f23, read_weights(lines, f23));
}
#elif defined(__aarch64__)
// The structure loads put s_0..s_3 and s_4..s_7 of each lane's row into its
// lane of two sets of four registers, and s_8 into a ninth: twelve loads and
// no shuffle. Each sub-step reads six of the nine registers four lanes at a
// time, one after the other, as the reads two sub-steps at a time do here.
template <bool SHARED>
LANE_INLINE void reads_in_a_row(const BankLines<SHARED>& lines, I32x4 index, F32x8 f01, F32x8 f23,
                                F32x8& v01, F32x8& v23)
{
    const U64x2 pairs = (U64x2)index;
    const float *a, *b, *c, *d;
    rows_of_pair(pairs[0], lines.start[0], lines.start[1], a, b);
    rows_of_pair(pairs[1], lines.start[2], lines.start[3], c, d);
    const float *r0 = a, *r1 = b, *r2 = c, *r3 = d;
    register float32x4_t p0 __asm__("v16"), p1 __asm__("v17"), p2 __asm__("v18"), p3 __asm__("v19"),
        p4 __asm__("v20"), p5 __asm__("v21"), p6 __asm__("v22"), p7 __asm__("v23");
    float32x4_t p8;
    __asm__(
        "ld4r {%0.4s - %3.4s}, [%9], #16\n\t"
        "ld4 {%0.s - %3.s}[1], [%10], #16\n\t"
        "ld4 {%0.s - %3.s}[2], [%11], #16\n\t"
        "ld4 {%0.s - %3.s}[3], [%12], #16\n\t"
        "ld4r {%4.4s - %7.4s}, [%9], #16\n\t"
        "ld4 {%4.s - %7.s}[1], [%10], #16\n\t"
        "ld4 {%4.s - %7.s}[2], [%11], #16\n\t"
        "ld4 {%4.s - %7.s}[3], [%12], #16\n\t"
        "ld1r {%8.4s}, [%9]\n\t"
        "ld1 {%8.s}[1], [%10]\n\t"
        "ld1 {%8.s}[2], [%11]\n\t"
        "ld1 {%8.s}[3], [%12]"
        : "=&w"(p0), "=&w"(p1), "=&w"(p2), "=&w"(p3), "=&w"(p4), "=&w"(p5), "=&w"(p6), "=&w"(p7),
          "=&w"(p8), "+r"(a), "+r"(b), "+r"(c), "+r"(d)
        : "m"(*reinterpret_cast<const float(*)[9]>(r0)),
          "m"(*reinterpret_cast<const float(*)[9]>(r1)),
          "m"(*reinterpret_cast<const float(*)[9]>(r2)),
          "m"(*reinterpret_cast<const float(*)[9]>(r3)));
    const F32x4 p[9] = {(F32x4)p0, (F32x4)p1, (F32x4)p2, (F32x4)p3, (F32x4)p4,
                        (F32x4)p5, (F32x4)p6, (F32x4)p7, (F32x4)p8};
    reads_of_row(p, f01.low, f01.high, f23.low, f23.high, read_weights(lines, f01.low), v01.low,
                 v01.high, v23.low, v23.high);
}
#endif

// Whether each lane's four read slots of a frame follow one another, so
// that the frame's reads take nine slots in a row per line.
LANE_INLINE bool slots_in_a_row(I32x4 index0, I32x4 index1, I32x4 index2, I32x4 index3)
{
    return all_lanes((index1 == index0 + 1) & (index2 == index0 + 2) & (index3 == index0 + 3));
}

#if defined(__AVX__) || defined(__aarch64__)
template <bool SHARED>
LANE_INLINE bool read_in_a_row(const BankLines<SHARED>& lines, I32x4 index0, I32x4 index1,
                               I32x4 index2, I32x4 index3, F32x8 f01, F32x8 f23, F32x8& v01,
                               F32x8& v23)
{
    if (!slots_in_a_row(index0, index1, index2, index3)) {
        return false;
    }
    reads_in_a_row(lines, index0, f01, f23, v01, v23);
    return true;
}
#else
template <bool SHARED>
LANE_INLINE bool read_in_a_row(const BankLines<SHARED>&, I32x4, I32x4, I32x4, I32x4, F32x8, F32x8,
                               F32x8&, F32x8&)
{
    return false;
}
#endif

// Elsewhere a frame's four-lane reads are made sub-step by sub-step.
template <bool SHARED, class V>
LANE_INLINE bool read_in_a_row(const BankLines<SHARED>&, I32x4, I32x4, I32x4, I32x4, V, V, V, V,
                               V&, V&, V&, V&)
{
    return false;
}

// The write index after a frame's four writes from w, in lines of the one
// size `size`: what the write step four times leaves.
LANE_INLINE uint32_t after_four_writes(uint32_t w, uint32_t size)
{
    return w + SUB_STEPS >= size ? w + SUB_STEPS - size : w + SUB_STEPS;
}

// Whether the compiler is told that a frame's four writes go as rows
// (write_four below): of the frames that go once round a line (a quarter of
// its slots each), at most three meet a guard slot or the wrap. Told so on
// AArch64, where the compiler otherwise puts the rows' stores apart
// from the frame, two branches away (472.1 instructions a frame at rest
// against 475.3, counted under qemu); on x86-64 the same hint made the
// overlapped frames longer and slower (399.2 instructions against 397.5).
#if defined(__aarch64__)
inline constexpr bool ROWS_HINTED = true;
#else
inline constexpr bool ROWS_HINTED = false;
#endif

// The four values of a frame into four consecutive slots of each line, from
// the shared index w in lines of the one size `size`: the write step four
// times, as one row per line where neither a guard slot nor the wrap lies
// among them.
LANE_INLINE void write_four(const BankLines<true>& lines, uint32_t& w, uint32_t size, F32x4 value0,
                            F32x4 value1, F32x4 value2, F32x4 value3)
{
    const bool rows = w >= DELAY_GUARD && w + SUB_STEPS <= size;
    if (ROWS_HINTED ? __builtin_expect(rows, 1) : rows) {
#if defined(__aarch64__)
        // st4 stores one lane of four consecutive registers as one row: each
        // line's row is one store, with no transpose.
        register float32x4_t v0 __asm__("v28") = (float32x4_t)value0;
        register float32x4_t v1 __asm__("v29") = (float32x4_t)value1;
        register float32x4_t v2 __asm__("v30") = (float32x4_t)value2;
        register float32x4_t v3 __asm__("v31") = (float32x4_t)value3;
        typedef float Row[SUB_STEPS];
        Row& row0 = *reinterpret_cast<Row*>(lines.start[0] + w);
        Row& row1 = *reinterpret_cast<Row*>(lines.start[1] + w);
        Row& row2 = *reinterpret_cast<Row*>(lines.start[2] + w);
        Row& row3 = *reinterpret_cast<Row*>(lines.start[3] + w);
        __asm__("st4 {%8.s - %11.s}[0], [%4]\n\t"
                "st4 {%8.s - %11.s}[1], [%5]\n\t"
                "st4 {%8.s - %11.s}[2], [%6]\n\t"
                "st4 {%8.s - %11.s}[3], [%7]"
                : "=m"(row0), "=m"(row1), "=m"(row2), "=m"(row3)
                : "r"(&row0), "r"(&row1), "r"(&row2), "r"(&row3), "w"(v0), "w"(v1), "w"(v2),
                  "w"(v3));
#else
        F32x4 rows[TUBE_COUNT];
        transpose(value0, value1, value2, value3, rows[0], rows[1], rows[2], rows[3]);
        for (int k = 0; k < TUBE_COUNT; ++k) {
            __builtin_memcpy(&lines.bank.delay[k][w], &rows[k], sizeof rows[k]);
        }
#endif
        w = after_four_writes(w, size);
        return;
    }
    write_delay(lines, w, size, value0);
    write_delay(lines, w, size, value1);
    write_delay(lines, w, size, value2);
    write_delay(lines, w, size, value3);
}

#if defined(__arm__) && defined(__ARM_NEON)
// The six points of every lane at its own slot of its own line on NEON: one
// row per lane, transposed into p0..p5.
template <bool SHARED>
LANE_INLINE void six_points(const BankLines<SHARED>& lines, I32x4 index, NeonLanes (&p)[6])
{
    float32x4_t rows[TUBE_COUNT], shifted[TUBE_COUNT];
    for (int k = 0; k < TUBE_COUNT; ++k) {
        const float* at = &lines.bank.delay[k][index[k]];
        rows[k] = vld1q_f32(at);
        shifted[k] = vld1q_f32(at + 2);
    }
    const float32x4x2_t r01 = vtrnq_f32(rows[0], rows[1]);
    const float32x4x2_t r23 = vtrnq_f32(rows[2], rows[3]);
    p[0] = vcombine_f32(vget_low_f32(r01.val[0]), vget_low_f32(r23.val[0]));
    p[1] = vcombine_f32(vget_low_f32(r01.val[1]), vget_low_f32(r23.val[1]));
    p[2] = vcombine_f32(vget_high_f32(r01.val[0]), vget_high_f32(r23.val[0]));
    p[3] = vcombine_f32(vget_high_f32(r01.val[1]), vget_high_f32(r23.val[1]));
    const float32x4x2_t s01 = vtrnq_f32(shifted[0], shifted[1]);
    const float32x4x2_t s23 = vtrnq_f32(shifted[2], shifted[3]);
    p[4] = vcombine_f32(vget_high_f32(s01.val[0]), vget_high_f32(s23.val[0]));
    p[5] = vcombine_f32(vget_high_f32(s01.val[1]), vget_high_f32(s23.val[1]));
}

// The six-point read's weights in the lanes of two registers, multiplied by
// element: QuinticWeights' values, each in the lane its member names. A half
// is NEON's immediate.
struct NeonQuinticWeights {
    using W = QuinticWeights;
    float32x4_t first = held_lanes(W::twelfth, W::twenty_fourth, W::hundred_twentieth, W::sixth);
    float32x4_t second =
        held_lanes(W::five_twelfths, W::thirteen_sixtieths, W::fifty_five_hundredths, W::quarter);
    HeldLane<0> twelfth{first};
    HeldLane<1> twenty_fourth{first};
    HeldLane<2> hundred_twentieth{first};
    HeldLane<3> sixth{first};
    HeldLane<0> five_twelfths{second};
    HeldLane<1> thirteen_sixtieths{second};
    HeldLane<2> fifty_five_hundredths{second};
    HeldLane<3> quarter{second};
    static constexpr float half = W::half;
};

template <bool SHARED>
LANE_INLINE NeonQuinticWeights read_weights(const BankLines<SHARED>&, NeonLanes)
{
    return NeonQuinticWeights{};
}

// The reads of a frame's four sub-steps where each lane reads one slot
// further at every sub-step (as read_in_a_row above): nine slots in a row
// per lane (reads_of_row). vld4 puts four consecutive slots into one lane of
// four registers, and a lane of a NEON register is a lane of one of its two
// halves: with the four registers consecutive, their halves are every other
// one, which vld4 may name. Twelve loads and no shuffle, against two loads
// and a transpose per lane and sub-step. The registers of a structure load
// are consecutive, which only fixed registers can promise.
template <bool SHARED>
LANE_INLINE bool read_in_a_row(const BankLines<SHARED>& lines, I32x4 index0, I32x4 index1,
                               I32x4 index2, I32x4 index3, NeonLanes f0, NeonLanes f1,
                               NeonLanes f2, NeonLanes f3, NeonLanes& v0, NeonLanes& v1,
                               NeonLanes& v2, NeonLanes& v3)
{
    if (!slots_in_a_row(index0, index1, index2, index3)) {
        return false;
    }
    const float* a = &lines.bank.delay[0][index0[0]];
    const float* b = &lines.bank.delay[1][index0[1]];
    const float* c = &lines.bank.delay[2][index0[2]];
    const float* d = &lines.bank.delay[3][index0[3]];
    const float *r0 = a, *r1 = b, *r2 = c, *r3 = d;
    register float32x4_t p0 __asm__("q8"), p1 __asm__("q9"), p2 __asm__("q10"),
        p3 __asm__("q11"), p4 __asm__("q12"), p5 __asm__("q13"), p6 __asm__("q14"),
        p7 __asm__("q15");
    float32x4_t p8;
    __asm__(
        "vld4.32 {%e0[], %e1[], %e2[], %e3[]}, [%9]!\n\t"
        "vld4.32 {%e0[1], %e1[1], %e2[1], %e3[1]}, [%10]!\n\t"
        "vld4.32 {%f0[0], %f1[0], %f2[0], %f3[0]}, [%11]!\n\t"
        "vld4.32 {%f0[1], %f1[1], %f2[1], %f3[1]}, [%12]!\n\t"
        "vld4.32 {%e4[], %e5[], %e6[], %e7[]}, [%9]!\n\t"
        "vld4.32 {%e4[1], %e5[1], %e6[1], %e7[1]}, [%10]!\n\t"
        "vld4.32 {%f4[0], %f5[0], %f6[0], %f7[0]}, [%11]!\n\t"
        "vld4.32 {%f4[1], %f5[1], %f6[1], %f7[1]}, [%12]!\n\t"
        "vld1.32 {%e8[]}, [%9]\n\t"
        "vld1.32 {%e8[1]}, [%10]\n\t"
        "vld1.32 {%f8[0]}, [%11]\n\t"
        "vld1.32 {%f8[1]}, [%12]"
        : "=&w"(p0), "=&w"(p1), "=&w"(p2), "=&w"(p3), "=&w"(p4), "=&w"(p5), "=&w"(p6), "=&w"(p7),
          "=&w"(p8), "+r"(a), "+r"(b), "+r"(c), "+r"(d)
        : "m"(*reinterpret_cast<const float(*)[9]>(r0)),
          "m"(*reinterpret_cast<const float(*)[9]>(r1)),
          "m"(*reinterpret_cast<const float(*)[9]>(r2)),
          "m"(*reinterpret_cast<const float(*)[9]>(r3)));
    const NeonLanes s[9] = {p0, p1, p2, p3, p4, p5, p6, p7, p8};
    reads_of_row(s, f0, f1, f2, f3, read_weights(lines, f0), v0, v1, v2, v3);
    return true;
}

LANE_INLINE void write_four(const BankLines<true>& lines, uint32_t& w, uint32_t size,
                            NeonLanes value0, NeonLanes value1, NeonLanes value2, NeonLanes value3)
{
    write_four(lines, w, size, value0.vector(), value1.vector(), value2.vector(), value3.vector());
}
#endif

// The reads of two sub-steps, in eight lanes.
LANE_INLINE F32x8 read_two_steps(const BankLines<true>& lines, I32x4x2 index, F32x8 f)
{
#if defined(__aarch64__)
    // Eight lanes are two NEON registers: two four-lane reads, the first's
    // points used before the second's are loaded.
    return F32x8{read_delay(lines, index.low, f.low), read_delay(lines, index.high, f.high)};
#else
    return read_delay(lines, index, f);
#endif
}

}  // namespace lockstep
