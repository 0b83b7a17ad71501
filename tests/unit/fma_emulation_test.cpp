// Four double lanes are wider than a baseline x86-64 register; every function
// taking them is inlined, so the ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "engine/fused_lanes.h"
#include "engine/fused_scalar.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>

#include "plugin/fp_mode.h"

// The emulated fused multiply-add against the C library's fma, which is the processor's
// instruction where it has one and the C library's exact routine where not.
// Operands are drawn to land where an emulation goes wrong: sums on or next to
// a rounding tie of the result, cancellation down to tiny or zero results,
// results at the edge of the subnormal range, every kind of special operand,
// and the DC blocker's own operands; each in the default mode and with
// subnormals flushed.

namespace {

constexpr int FLOAT_TRIPLES = 1 << 20;
constexpr int DOUBLE_TRIPLES = 1 << 19;

#if defined(__x86_64__) || defined(__i386__)
constexpr FpMode GRADUAL_UNDERFLOW = 0x1F80;  // MXCSR at reset: all exceptions masked
#else
constexpr FpMode GRADUAL_UNDERFLOW = 0;
#endif

struct ModeScope {
    FpMode saved;
    explicit ModeScope(FpMode mode) : saved(read_fp_mode()) { write_fp_mode(mode); }
    ~ModeScope() { write_fp_mode(saved); }
};

struct Mode {
    const char* name;
    FpMode value;
};

const Mode MODES[] = {{"gradual underflow", GRADUAL_UNDERFLOW},
                      {"flush to zero", flush_to_zero_mode()}};

template <class To, class From>
To bit_cast(From x)
{
    static_assert(sizeof(To) == sizeof(From));
    To y;
    std::memcpy(&y, &x, sizeof y);
    return y;
}

template <class F>
using BitsOf = std::conditional_t<sizeof(F) == 4, uint32_t, uint64_t>;

// Where the C library's fma is the x86-64 instruction (the C library's own, in the form it
// always uses), the NaN a result carries is compared too; elsewhere it
// is the C library's software routine or another processor's instruction,
// whose choice among NaN operands differs, and a NaN result only has to be a
// NaN.
bool reference_is_the_instruction()
{
#if defined(__x86_64__)
    return __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

const bool STRICT_NAN = reference_is_the_instruction();

// Called through a pointer so that a build with FMA enabled cannot put its own
// instruction, in a form of the compiler's choosing, in place of the library.
float (*volatile const library_fmaf)(float, float, float) = ::fmaf;
double (*volatile const library_fma)(double, double, double) = ::fma;

template <class F>
bool same_result(F got, F want)
{
    using Bits = BitsOf<F>;
    if (!STRICT_NAN && std::isnan(want)) {
        return std::isnan(got);
    }
    return bit_cast<Bits>(got) == bit_cast<Bits>(want);
}

template <class F>
std::string describe(F a, F b, F c, F got, F want)
{
    using Bits = BitsOf<F>;
    char text[300];
    std::snprintf(text, sizeof text, "fma(%a, %a, %a): got %a, want %a (bits %llx, %llx, %llx: %llx, %llx)",
                  static_cast<double>(a), static_cast<double>(b), static_cast<double>(c),
                  static_cast<double>(got), static_cast<double>(want),
                  static_cast<unsigned long long>(bit_cast<Bits>(a)),
                  static_cast<unsigned long long>(bit_cast<Bits>(b)),
                  static_cast<unsigned long long>(bit_cast<Bits>(c)),
                  static_cast<unsigned long long>(bit_cast<Bits>(got)),
                  static_cast<unsigned long long>(bit_cast<Bits>(want)));
    return text;
}

class FloatDraw {
public:
    explicit FloatDraw(uint64_t seed) : rng_(seed) {}

    // Sign, exponent and a mantissa whose low bits are often zero, so that
    // exact products and sums often end right on a rounding boundary.
    float with_exponent(int exponent)
    {
        const uint32_t zeros = below(24);
        const uint32_t mantissa = static_cast<uint32_t>(rng_()) & 0x7FFFFFu & (~0u << zeros);
        const uint32_t sign = static_cast<uint32_t>(rng_() & 1) << 31;
        return bit_cast<float>(sign | static_cast<uint32_t>(exponent + 127) << 23 | mantissa);
    }

    float any_bits() { return bit_cast<float>(static_cast<uint32_t>(rng_())); }

    float special()
    {
        static const uint32_t BITS[] = {
            0x00000000, 0x80000000, 0x7F800000, 0xFF800000, 0x7FC00000, 0xFFC00000,
            0x7FC0000A, 0x7F80000B, 0xFFA0000C, 0x00000001, 0x807FFFFF, 0x00400000,
            0x00800000, 0x80800000, 0x7F7FFFFF, 0xFF7FFFFF, 0x3F800000, 0xBF800000};
        const uint32_t n = sizeof BITS / sizeof BITS[0];
        return below(3) == 0 ? any_bits() : bit_cast<float>(BITS[below(n)]);
    }

    void next(float& a, float& b, float& c)
    {
        switch (below(7)) {
        case 0: {
            // Product (1 + t)(1 - t) = 1 - t^2 times half the last bit of c:
            // the exact sum lies a hair inside a float tie, so close that
            // rounding to double lands on the tie itself.
            // Odd or even last bit, which decides where a false tie goes. One
            // in four near the bottom of the normal range, where a subnormal
            // result keeps fewer bits and its tie sits at 2^-150.
            int half_last_bit;
            if (below(4) == 0) {
                c = bit_cast<float>(static_cast<uint32_t>(rng_()) & 0x80FFFFFFu);
                half_last_bit = -150;
            } else {
                const int ec = static_cast<int>(below(200)) - 100;
                c = bit_cast<float>(bit_cast<uint32_t>(with_exponent(ec)) | below(2));
                half_last_bit = ec - 24;
            }
            const float t = std::ldexp(static_cast<float>(1 + below(7)),
                                       -15 - static_cast<int>(below(9)));
            // Split between the factors: 2^-150 itself is below every float.
            a = std::ldexp(1.0f + t, half_last_bit / 2);
            b = std::ldexp(below(2) ? 1.0f - t : t - 1.0f, half_last_bit - half_last_bit / 2);
            break;
        }
        case 1: {
            // c cancels most of the product: small, zero and signed-zero results.
            const int ea = static_cast<int>(below(120)) - 60;
            a = with_exponent(ea);
            b = with_exponent(static_cast<int>(below(120)) - 60);
            const float p = -(a * b);
            const int32_t shift = static_cast<int32_t>(below(5)) - 2;
            c = std::isfinite(p) ? bit_cast<float>(bit_cast<int32_t>(p) + shift) : p;
            break;
        }
        case 2: {
            // Results at the edge of the normal range, 2^-126, rounding into
            // subnormals or flushed.
            const int ea = static_cast<int>(below(60)) - 30;
            a = with_exponent(ea);
            b = with_exponent(-126 - ea + static_cast<int>(below(4)) - 2);
            c = below(2) ? with_exponent(-126 - static_cast<int>(below(3)))
                         : bit_cast<float>(static_cast<uint32_t>(rng_()) & 0x807FFFFFu);
            break;
        }
        case 3: {
            // Large results, up to overflow.
            a = with_exponent(64 + static_cast<int>(below(64)) - 32);
            b = with_exponent(127 - 64 + static_cast<int>(below(6)) - 3);
            c = with_exponent(127 - static_cast<int>(below(30)));
            break;
        }
        case 5: {
            // Product just around the last bit c keeps.
            const int ec = static_cast<int>(below(200)) - 100;
            const int ep = ec - 25 + static_cast<int>(below(8)) - 4;
            const int ea = static_cast<int>(below(40)) - 20;
            c = with_exponent(ec);
            a = with_exponent(ea);
            b = with_exponent(ep - ea);
            break;
        }
        case 4:
            a = special();
            b = special();
            c = special();
            break;
        default:
            a = any_bits();
            b = any_bits();
            c = any_bits();
            break;
        }
    }

    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

private:
    std::mt19937_64 rng_;
};

class DoubleDraw {
public:
    explicit DoubleDraw(uint64_t seed) : rng_(seed) {}

    double with_exponent(int exponent)
    {
        const uint64_t zeros = below(53);
        const uint64_t mantissa = rng_() & 0xFFFFFFFFFFFFFull & (~0ull << zeros);
        const uint64_t sign = (rng_() & 1) << 63;
        return bit_cast<double>(sign | static_cast<uint64_t>(exponent + 1023) << 52 | mantissa);
    }

    float audio_float()
    {
        const float v = std::ldexp(static_cast<float>(rng_() % 2000001) / 1e6f - 1.0f,
                                   static_cast<int>(below(60)) - 40);
        return v;
    }

    void next(double& a, double& b, double& c)
    {
        switch (below(6)) {
        case 5: {
            // Product (1 + t)(1 - t) times half the last bit of c.
            const int ec = static_cast<int>(below(800)) - 400;
            c = bit_cast<double>(bit_cast<uint64_t>(with_exponent(ec)) | below(2));
            const double t = std::ldexp(static_cast<double>(1 + below(7)),
                                        -30 - static_cast<int>(below(20)));
            a = std::ldexp(1.0 + t, ec - 53);
            b = below(2) ? 1.0 - t : t - 1.0;
            break;
        }
        case 0:
            // The DC blocker: gain times a sample, plus pole times the state.
            a = DC_GAIN;
            b = audio_float();
            c = DC_POLE * static_cast<double>(audio_float());
            break;
        case 1: {
            // Product around the last bit of c.
            const int ec = static_cast<int>(below(800)) - 400;
            const int ea = static_cast<int>(below(400)) - 200;
            a = with_exponent(ea);
            b = with_exponent(ec - 54 + static_cast<int>(below(10)) - 5 - ea);
            c = with_exponent(ec);
            break;
        }
        case 2: {
            // Cancellation of most of the product.
            a = with_exponent(static_cast<int>(below(400)) - 200);
            b = with_exponent(static_cast<int>(below(400)) - 200);
            const double p = -(a * b);
            c = bit_cast<double>(bit_cast<int64_t>(p) + static_cast<int64_t>(below(5)) - 2);
            break;
        }
        case 3: {
            static const uint64_t BITS[] = {
                0x0000000000000000ull, 0x8000000000000000ull, 0x7FF0000000000000ull,
                0xFFF0000000000000ull, 0x7FF8000000000000ull, 0x7FF800000000000Aull,
                0x7FF000000000000Bull, 0xFFF400000000000Cull, 0x3FF0000000000000ull,
                0xBFF0000000000000ull, 0x4000000000000000ull};
            const uint32_t n = sizeof BITS / sizeof BITS[0];
            a = bit_cast<double>(BITS[below(n)]);
            b = below(4) ? bit_cast<double>(BITS[below(n)]) : with_exponent(0);
            c = below(4) ? bit_cast<double>(BITS[below(n)]) : with_exponent(1);
            break;
        }
        default:
            a = with_exponent(static_cast<int>(below(900)) - 450);
            b = with_exponent(static_cast<int>(below(900)) - 450);
            c = with_exponent(static_cast<int>(below(1800)) - 900);
            break;
        }
    }

    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

private:
    std::mt19937_64 rng_;
    static constexpr double DC_POLE = 0.9968707592884718;
    static constexpr double DC_GAIN = 0.9984353796442359;
};

// Mismatches of one way of computing, with the first few described.
struct Tally {
    int mismatches = 0;
    std::string first;

    template <class F>
    void check(bool ok, F a, F b, F c, F got, F want)
    {
        if (!ok && mismatches++ < 12) {
            first += describe(a, b, c, got, want) + "\n";
        }
    }
};

}  // namespace

// One precision: every triple through the scalar emulation, the four-lane
// emulation and fused() as this build chooses it, against the library. The
// draw must reach the cases that rounding twice (to double, then to F) gets
// wrong, or it proves nothing.
template <class F, class Lanes, class Draw>
void expect_matches_library(Draw& draw, int triples, F (*library)(F, F, F), const char* mode)
{
    Tally scalar, lanes, dispatched;
    int plain_wrong = 0;
    for (int i = 0; i < triples; i += 4) {
        Lanes a, b, c, want;
        for (int k = 0; k < 4; ++k) {
            F x, y, z;
            draw.next(x, y, z);
            a[k] = x;
            b[k] = y;
            c[k] = z;
            want[k] = library(x, y, z);
            const F got = fused_exact(x, y, z);
            scalar.check(same_result(got, want[k]), x, y, z, got, want[k]);
            const auto plain = static_cast<F>(static_cast<double>(x) * y + z);
            plain_wrong += !std::isnan(want[k]) && plain != want[k];
        }
        const Lanes got = fused_exact(a, b, c);
        const Lanes got_dispatched = fused(a, b, c);
        for (int k = 0; k < 4; ++k) {
            lanes.check(same_result(got[k], want[k]), a[k], b[k], c[k], got[k], want[k]);
            dispatched.check(same_result(got_dispatched[k], want[k]), a[k], b[k], c[k],
                             got_dispatched[k], want[k]);
        }
    }
    EXPECT_EQ(scalar.mismatches, 0) << mode << ", scalar:\n" << scalar.first;
    EXPECT_EQ(lanes.mismatches, 0) << mode << ", four lanes:\n" << lanes.first;
    EXPECT_EQ(dispatched.mismatches, 0) << mode << ", fused:\n" << dispatched.first;
    EXPECT_GT(plain_wrong, triples / 100) << mode;
}

TEST(LaneFma, SingleAndDoubleMatchTheInstruction)
{
    for (const Mode& mode : MODES) {
        ModeScope scope(mode.value);
        FloatDraw floats(7);
        expect_matches_library<float, F32x4>(floats, FLOAT_TRIPLES, library_fmaf, mode.name);
        DoubleDraw doubles(11);
        expect_matches_library<double, F64x4>(doubles, DOUBLE_TRIPLES, library_fma, mode.name);
    }
}

// The DC blocker's double fused multiply-add narrowed to float, emulated the
// cheap way, against the instruction's double result narrowed. Half the draws
// put the exact value within a few units of the double's last bit from a
// midpoint between two floats, where a sum that is merely close narrows the
// wrong way.
TEST(LaneFma, NarrowedDoubleMatchesTheInstructionNarrowed)
{
    constexpr double DC_POLE = 0.9968707592884718;
    constexpr double DC_GAIN = 0.9984353796442359;
    for (const Mode& mode : MODES) {
        ModeScope scope(mode.value);
        std::mt19937_64 rng(13);
        auto audio = [&rng] {
            return std::ldexp(static_cast<float>(rng() % 2000001) / 1e6f - 1.0f,
                              static_cast<int>(rng() % 60) - 40);
        };
        Tally lanes;
        Tally dispatched;
        int near_wrong = 0;
        for (int i = 0; i < DOUBLE_TRIPLES; i += 4) {
            F64x4 a, b, c;
            F32x4 want;
            for (int k = 0; k < 4; ++k) {
                a[k] = DC_GAIN;
                b[k] = audio();
                if (rng() % 2 == 0) {
                    c[k] = DC_POLE * static_cast<double>(audio());
                } else {
                    // A float midpoint near the product, approached from
                    // either side by up to 12 units of the double's last bit.
                    const float f = static_cast<float>(a[k] * b[k] * (rng() % 2 ? 1.5 : 0.75));
                    const double midpoint =
                        (static_cast<double>(f) + std::nextafter(f, INFINITY)) / 2;
                    const double jitter = std::ldexp(static_cast<double>(int(rng() % 25) - 12),
                                                     std::ilogb(midpoint) - 52);
                    c[k] = (midpoint - a[k] * b[k]) + jitter;
                    const auto plain = static_cast<float>(a[k] * b[k] + c[k]);
                    near_wrong += plain != static_cast<float>(library_fma(a[k], b[k], c[k]));
                }
                want[k] = static_cast<float>(library_fma(a[k], b[k], c[k]));
            }
            const F32x4 got = fused_narrowed_exact(a, b, c);
            // And as this build computes it (on 32-bit ARM, a lane at a time).
            const F32x4 got_dispatched = fused_narrowed(a, b, c);
            for (int k = 0; k < 4; ++k) {
                lanes.check(same_result(got[k], want[k]), a[k], b[k], c[k],
                            static_cast<double>(got[k]), static_cast<double>(want[k]));
                dispatched.check(same_result(got_dispatched[k], want[k]), a[k], b[k], c[k],
                                 static_cast<double>(got_dispatched[k]),
                                 static_cast<double>(want[k]));
            }
        }
        EXPECT_EQ(lanes.mismatches, 0) << mode.name << ":\n" << lanes.first;
        EXPECT_EQ(dispatched.mismatches, 0) << mode.name << ", fused_narrowed:\n" << dispatched.first;
        // The draw must reach the sums that narrow the wrong way.
        EXPECT_GT(near_wrong, 100) << mode.name;
    }
}

#if defined(__arm__) && !defined(__ARM_FEATURE_FMA)
// The test that sends a sum of 32-bit ARM's emulation down the careful path,
// at the edges of what it must catch: the float midpoint pattern in the low
// 29 bits (and within 8 units of it, for the DC blocker's sum), whatever the
// three bits above; magnitudes up to 2^-126 but not zero, of either sign
// (only the high half is read for that: a sum whose high half is zero is far
// below the least float and rounds to zero either way).
TEST(LaneFma, ArmCarefulSumsAreFoundAtTheirEdges)
{
    struct Case {
        uint32_t high, low;
        bool exact, within_eight;
    };
    const Case cases[] = {
        {0x3FF00000, 0x10000000, true, true},    // on the midpoint
        {0x3FF00000, 0xF0000000, true, true},    // same low 29 bits
        {0xBFF00000, 0x70000000, true, true},    // negative, other top bits
        {0x3FF00000, 0x10000001, false, true},   // one unit above
        {0x3FF00000, 0x0FFFFFFF, false, true},   // one unit below
        {0x3FF00000, 0x10000008, false, true},   // eight above
        {0x3FF00000, 0x0FFFFFF8, false, true},   // eight below
        {0x3FF00000, 0x10000009, false, false},  // nine above
        {0x3FF00000, 0x0FFFFFF7, false, false},  // nine below
        {0x3FF00000, 0x00000000, false, false},  // a float exactly
        {0x3FF00000, 0x1FFFFFFF, false, false},
        {0x38100000, 0x00000000, true, true},    // 2^-126
        {0x38100000, 0x00000001, true, true},    // its low half is not read
        {0xB8100000, 0x00000000, true, true},    // -2^-126
        {0x38100001, 0x00000000, false, false},  // just above
        {0x00000001, 0x00000000, true, true},    // a subnormal double
        {0x80000001, 0x00000000, true, true},
        {0x00000000, 0x00000001, false, false},  // below any float: rounds to zero
        {0x00000000, 0x00000000, false, false},  // zero
        {0x80000000, 0x00000000, false, false},  // minus zero
        {0x7FF00000, 0x00000000, false, false},  // infinity
        {0x7FF80000, 0x00000000, false, false},  // NaN
    };
    for (const Case& c : cases) {
        const double sum = bit_cast<double>((uint64_t(c.high) << 32) | c.low);
        EXPECT_EQ(fma_arm::needs_care(sum, 0), c.exact) << std::hex << c.high << " " << c.low;
        EXPECT_EQ(fma_arm::needs_care(sum, 8), c.within_eight) << std::hex << c.high << " " << c.low;
    }
}
#endif
