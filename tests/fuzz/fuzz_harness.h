#pragma once

// What the instance and companion fuzz targets share: the reader of the
// input, the values and sample rates they pick from, the check that stops at
// the first broken invariant, and the invariants of every tube.

#include <lv2/core/lv2.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "diag/debug_log.h"
#include "plugin/instance.h"

namespace fuzz {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float FLT_TRUE_MIN_VALUE = std::numeric_limits<float>::denorm_min();
constexpr float FLT_MAX_VALUE = std::numeric_limits<float>::max();

inline const float SPECIAL_VALUES[] = {
    NaN,
    -NaN,
    INF,
    -INF,
    0.0f,
    -0.0f,
    FLT_TRUE_MIN_VALUE,
    -FLT_TRUE_MIN_VALUE,
    1e-30f,
    1e-38f,
    FLT_MAX_VALUE,
    -FLT_MAX_VALUE,
    1e30f,
    -1e30f,
    0.5f,
    -0.5f,
    59.5f,
    60.5f,
    127.0f,
    128.0f,
    -1.0f,
    1.0f,
    -48.0f,
    48.0f,
    49.0f,
    10000.0f,
    10001.0f,
    -120.0f,
    -120.5f,
    12.0f,
    771.0f,
    20.0f,
    20000.0f,
    24000.0f,
    -20.0f,
    12000.0f,
    100.0f,
    60.0f,
    64.0f,
    1e10f,
};

inline const double SPECIAL_RATES[] = {
    48000.0,
    44100.0,
    96000.0,
    22050.0,
    192000.0,
    8000.0,
    1.0,
    0.0,
    -0.0,
    -48000.0,
    std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    1e300,
    1e-300,
    4.9e-324,
    3.4028234663852886e38,
    48000.001,
    1e10,
    352800.0,
};

// Front-to-back reader; past the end every read gives 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return position_ >= size_; }
    uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    // Little-endian; each read in its own statement, as the order in which
    // the operands of one expression are evaluated is unspecified.
    uint16_t u16()
    {
        const uint16_t low = byte();
        return static_cast<uint16_t>(low | byte() << 8);
    }
    uint32_t u32()
    {
        const uint32_t low = u16();
        return low | static_cast<uint32_t>(u16()) << 16;
    }
    float raw_float()
    {
        const uint32_t bits = u32();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    double raw_double()
    {
        const uint64_t low = u32();
        const uint64_t bits = low | static_cast<uint64_t>(u32()) << 32;
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

// The log would turn every control change into a file write, slow the fuzzer
// to a crawl and fill the file of whoever created it; it has tests of its
// own. Every instantiate reads the switch, so it is looked for before each.
inline void require_log_off()
{
    if (access(LOG_PATH, F_OK) == 0) {
        std::fprintf(stderr,
                     "%s exists: the fuzz target needs the log off (tools/fuzz gives it a /tmp "
                     "of its own where it can)\n",
                     LOG_PATH);
        std::exit(1);
    }
}

[[noreturn]] inline void broken(const char* what, int tube, double detail)
{
    std::fprintf(stderr, "invariant broken: %s (tube %d, value %.9g)\n", what, tube + 1, detail);
    std::abort();
}

#define EXPECT(condition, what, tube, detail) \
    do {                                      \
        if (!(condition)) {                   \
            broken(what, tube, detail);       \
        }                                     \
    } while (0)

inline void check_tubes(LV2_Handle handle, bool nan_feedback_possible)
{
    const TubeBank& bank = *static_cast<PluginInstance*>(handle)->bank;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        const Tube t = load_tube(bank, i);
        const float* line = bank.delay[i];
        // A line is one of two sizes, the long one only in tune.
        const uint64_t size = t.line_size;
        EXPECT(size == DELAY_SIZE || (size == LONG_DELAY_SIZE && t.tuning == TUNING_IN_TUNE),
               "line size", i, size);
        const uint64_t longest = size - 1;
        EXPECT(t.write_index < size, "write_index out of range", i, t.write_index);
        EXPECT(t.read_pos >= 0.0f && t.read_pos < static_cast<float>(size), "read_pos out of range",
               i, t.read_pos);
        EXPECT(std::memcmp(&line[size], &line[0], DELAY_GUARD * sizeof(float)) == 0,
               "guard slots differ from slots 0..4", i, 0);
        EXPECT(t.pending_length == 0 ||
                   (t.pending_length >= MIN_LENGTH && t.pending_length <= longest),
               "pending_length out of range", i, t.pending_length);
        EXPECT(t.glide_target == 0 || (t.glide_target >= MIN_LENGTH && t.glide_target <= longest),
               "glide_target out of range", i, t.glide_target);
        EXPECT(t.length >= 1 && t.length <= size, "length out of range", i, t.length);
        EXPECT(t.gliding ? (t.read_speed == 0.9f || t.read_speed == 1.11f) : t.read_speed == 1.0f,
               "read speed does not match the glide state", i, t.read_speed);
        EXPECT(t.lfo_phase >= -1.0f && t.lfo_phase < 1.0f, "modulator phase out of range", i,
               t.lfo_phase);
        EXPECT(!(std::fabs(t.feedback) > FEEDBACK_LIMIT), "feedback beyond the clamp", i,
               t.feedback);
        EXPECT(!std::isnan(t.feedback) || nan_feedback_possible,
               "NaN feedback without a NaN or infinite rate or decay", i, t.feedback);
    }
}

inline double pick_rate(Input& in)
{
    const uint8_t kind = in.byte();
    if (kind < 230) {
        return SPECIAL_RATES[kind % (sizeof SPECIAL_RATES / sizeof SPECIAL_RATES[0])];
    }
    return in.raw_double();
}

}  // namespace fuzz
