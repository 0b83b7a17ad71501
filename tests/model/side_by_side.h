// Drives the real plug-in, reached only through lv2_descriptor, and the
// independent model with the same controls and input samples, and compares every
// output sample bit for bit.
#pragma once

#include <gtest/gtest.h>
#include <lv2/core/lv2.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "independent_model.h"

namespace model {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();
constexpr uint32_t SETTLE = 14000;  // frames for the first glides to arrive at 48000 Hz

uint32_t bits(float f);
float from_bits(uint32_t u);

// Whether the processor the tests run on picks the NaN of two NaN operands as
// hardware does. qemu-x86_64 does not: it gives the larger payload, and the
// quiet one of a signalling and a quiet NaN, where an x86-64 gives the first
// operand's (both measured), so the run on its Nehalem model
// (tools/test-cross) sets OSTREVAN_NAN_PAYLOADS_UNMODELLED. There any two
// NaNs count as one; everywhere else every bit counts.
bool nan_payloads_modelled();

// The same sample: the same bits, or two NaNs where payloads are not modelled.
bool same_sample(float a, float b);

enum class Signal {
    BURSTS,    // a short noise burst in every tube every 3000 frames
    IMPULSES,  // a unit impulse in every tube every 4000 frames, staggered
    HOSTILE,   // bursts, plus huge, subnormal, infinite and NaN samples
    ONE_IMPULSE,  // a unit impulse in every tube at the start, staggered, then silence
};

// Which of eight pool buffers each audio port is given: the host may hand
// any input buffer to any output port.
struct Layout {
    const char* name;
    int in[4];
    int out[4];
};
extern const Layout SEPARATE;
extern const Layout ALIASED[5];

// One plug-in instance and one model instance, fed the same controls and the
// same input samples.
class SideBySide {
public:
    // log_file: what the test put into the log file before instantiating, or
    // nullptr when there is none; the model reads its log level from it.
    explicit SideBySide(double rate, const char* log_file = nullptr);
    ~SideBySide();
    SideBySide(const SideBySide&) = delete;
    SideBySide& operator=(const SideBySide&) = delete;

    bool instantiated() const { return handle_ != nullptr; }

    // A host may pause and resume an instance; nothing of the tubes resets.
    void reactivate();

    // Runs n frames through both and compares every output sample, and that
    // nothing past the n-th frame was written.
    ::testing::AssertionResult run(uint32_t n, Signal signal, const Layout& layout);

    float controls[CONTROL_COUNT] = {60.0f, 64.0f, 67.0f, 72.0f, 0.0f, 100.0f, 0.0f, 12000.0f};
    const Instance& model() const { return model_; }
    bool heard_something() const { return non_zero_; }
    // Every output sample the plug-in has given so far, folded into 64 bits
    // (FNV-1a over the samples' bits, frame by frame, tube by tube; all NaNs
    // alike).
    uint64_t output_digest() const { return digest_; }

private:
    const LV2_Descriptor* descriptor_ = nullptr;
    LV2_Handle handle_ = nullptr;
    Instance model_;
    std::vector<float> pool_[8];
    std::vector<float> model_in_[4], model_out_[4];
    uint64_t frame_ = 0;
    bool non_zero_ = false;
    uint64_t digest_ = 0xCBF29CE484222325ull;
};

struct Change {
    Control control;
    float value;
};

// Changes made before a stretch of frames, run in calls of the given sizes
// (cycled; a 0 is a run that only takes up the controls).
struct Step {
    std::vector<Change> changes;
    uint32_t frames;
    std::vector<uint32_t> blocks = {256};
};

struct Scenario {
    std::string name;
    double rate;
    Signal signal;
    std::vector<Step> steps;
    const Layout* layout = &SEPARATE;
};

// gtest shows a parameter in test listings; the name is all a reader needs.
void PrintTo(const Scenario& scenario, std::ostream* os);

::testing::AssertionResult play(SideBySide& pair, const Scenario& scenario);

// The end state the model reached, to show that a scenario got where it meant
// to go (a glide completed) rather than comparing two idle tubes. A length of
// 0 checks only that the tube is at rest.
void expect_settled(const Instance& model, std::initializer_list<uint64_t> lengths);

}  // namespace model
