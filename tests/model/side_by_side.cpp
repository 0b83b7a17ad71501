#include "side_by_side.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace model {
namespace {

constexpr uint32_t CONTROL_PORT_BASE = 8;  // note_1; the Control enum follows the port order
constexpr uint32_t GUARD_FRAMES = 16;      // past the end of every run, must stay untouched

std::string show(float f)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.9g (0x%08" PRIx32 ")", static_cast<double>(f), bits(f));
    return text;
}

float noise(int tube, uint64_t frame)
{
    uint64_t z = frame * 4 + static_cast<uint64_t>(tube) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<float>(static_cast<int32_t>(z >> 32)) * (1.0f / 2147483648.0f);
}

float input_sample(Signal signal, int tube, uint64_t frame)
{
    if (signal == Signal::IMPULSES) return frame % 4000 == 13u * tube ? 1.0f : 0.0f;
    if (signal == Signal::ONE_IMPULSE) return frame == 13u * tube ? 1.0f : 0.0f;
    if (signal == Signal::HOSTILE) {
        struct Special {
            int tube;
            uint64_t frame;
            uint32_t value;
        };
        static const Special specials[] = {
            {0, 1000, 0x7E61E5A5},                         // 7.5e37
            {0, 1001, 0xFF61E5A5},                         // -7.5e37
            {0, 1500, 0x7F7FFFFF},                         // FLT_MAX
            {0, 1501, 0x7F7FFFFF}, {0, 1502, 0x7F7FFFFF},  // three in a row overflow the upsampler
            {1, 400, 0x00000001},  // subnormals, flushed by the load-time mode
            {1, 401, 0x807FFFFF},  {1, 6000, 0x7F800000},  // +inf
            {2, 6000, 0x7FC12345},                         // quiet NaN with a payload
            {3, 3000, 0xFF800000},                         // -inf
            {3, 6000, 0xFFA00001},                         // negative signalling NaN
        };
        for (const Special& s : specials) {
            if (s.tube == tube && s.frame == frame) return from_bits(s.value);
        }
    }
    return frame % 3000 < 200 ? 0.5f * noise(tube, frame) : 0.0f;
}

}  // namespace

uint32_t bits(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

bool nan_payloads_modelled()
{
    static const char* unmodelled = std::getenv("OSTREVAN_NAN_PAYLOADS_UNMODELLED");
    return unmodelled == nullptr || *unmodelled == '\0';
}

bool same_sample(float a, float b)
{
    return bits(a) == bits(b) || (!nan_payloads_modelled() && a != a && b != b);
}

float from_bits(uint32_t u)
{
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

const Layout SEPARATE = {"separate", {0, 1, 2, 3}, {4, 5, 6, 7}};
const Layout ALIASED[5] = {
    {"each_in_place", {0, 1, 2, 3}, {0, 1, 2, 3}}, {"out1_on_in2", {0, 1, 2, 3}, {1, 5, 6, 7}},
    {"rotated", {0, 1, 2, 3}, {1, 2, 3, 0}},       {"reversed", {0, 1, 2, 3}, {3, 2, 1, 0}},
    {"shared_inputs", {0, 0, 2, 2}, {2, 0, 4, 5}},
};

SideBySide::SideBySide(double rate, const char* log_file) : model_(rate, log_file)
{
    descriptor_ = lv2_descriptor(0);
    const LV2_Feature* const features[] = {nullptr};
    handle_ = descriptor_->instantiate(descriptor_, rate, "/nonexistent/", features);
    if (!handle_) return;
    for (uint32_t c = 0; c < CONTROL_COUNT; ++c) {
        descriptor_->connect_port(handle_, CONTROL_PORT_BASE + c, &controls[c]);
    }
    descriptor_->activate(handle_);
}

SideBySide::~SideBySide()
{
    if (!handle_) return;
    descriptor_->deactivate(handle_);
    descriptor_->cleanup(handle_);
}

void SideBySide::reactivate()
{
    descriptor_->deactivate(handle_);
    descriptor_->activate(handle_);
}

::testing::AssertionResult SideBySide::run(uint32_t n, Signal signal, const Layout& layout)
{
    const float sentinel = from_bits(0x7FA5A5A5);
    for (std::vector<float>& b : pool_) b.assign(n + GUARD_FRAMES, sentinel);
    for (int i = 0; i < 4; ++i) {
        for (uint32_t s = 0; s < n; ++s)
            pool_[layout.in[i]][s] = input_sample(signal, i, frame_ + s);
    }
    const float* model_in[4];
    float* model_out[4];
    for (int i = 0; i < 4; ++i) {
        model_in_[i].assign(pool_[layout.in[i]].begin(), pool_[layout.in[i]].begin() + n);
        model_out_[i].assign(n, 0.0f);
        model_in[i] = model_in_[i].data();
        model_out[i] = model_out_[i].data();
        descriptor_->connect_port(handle_, i, pool_[layout.in[i]].data());
        descriptor_->connect_port(handle_, 4 + i, pool_[layout.out[i]].data());
    }

    descriptor_->run(handle_, n);
    model_.run(controls, model_in, model_out, n);

    const uint64_t first = frame_;
    frame_ += n;
    for (uint32_t s = 0; s < n; ++s) {
        for (int i = 0; i < 4; ++i) {
            const float got = pool_[layout.out[i]][s];
            const float want = model_out_[i][s];
            if (!same_sample(got, want)) {
                return ::testing::AssertionFailure()
                       << "frame " << first + s << " (sample " << s << " of a run of " << n
                       << "), tube " << i + 1 << ": plug-in " << show(got) << ", model "
                       << show(want);
            }
            if (got != 0.0f) non_zero_ = true;
            // Which NaN an operation gives (its sign, its payload) is the
            // processor's choice, as the default NaN is negative on x86 and
            // positive on ARM, so every NaN counts as one.
            const uint32_t word = std::isnan(got) ? 0x7FC00000u : bits(got);
            for (int byte = 0; byte < 4; ++byte) {
                digest_ = (digest_ ^ ((word >> (8 * byte)) & 0xFFu)) * 0x100000001B3ull;
            }
        }
    }
    for (int i = 0; i < 4; ++i) {
        for (uint32_t s = n; s < n + GUARD_FRAMES; ++s) {
            if (bits(pool_[layout.out[i]][s]) != bits(sentinel)) {
                return ::testing::AssertionFailure()
                       << "run of " << n << " wrote past its end: tube " << i + 1 << ", sample "
                       << s;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

void PrintTo(const Scenario& scenario, std::ostream* os)
{
    *os << scenario.name;
}

::testing::AssertionResult play(SideBySide& pair, const Scenario& scenario)
{
    for (const Step& step : scenario.steps) {
        for (const Change& c : step.changes) pair.controls[c.control] = c.value;
        uint32_t left = step.frames;
        size_t next = 0;
        bool ran = false;
        while (left > 0 || !ran) {
            const uint32_t block = step.blocks[next++ % step.blocks.size()];
            const uint32_t n = block < left ? block : left;
            ::testing::AssertionResult same = pair.run(n, scenario.signal, *scenario.layout);
            if (!same) return same << " [" << scenario.name << "]";
            left -= n;
            ran = true;
        }
    }
    return ::testing::AssertionSuccess();
}

void expect_settled(const Instance& model, std::initializer_list<uint64_t> lengths)
{
    int i = 0;
    for (uint64_t want : lengths) {
        const Tube& t = model.tube(i++);
        EXPECT_FALSE(t.gliding) << "tube " << i;
        EXPECT_EQ(t.pending_length, 0u) << "tube " << i;
        if (want != 0) {
            EXPECT_EQ(t.length, want) << "tube " << i;
        }
    }
}

}  // namespace model
