// libFuzzer target: random instance lifetimes through the descriptor, with
// the tube invariants checked after every call.
//
// Built twice (tests/fuzz/CMakeLists.txt): ostrevan_fuzz plays short lifetimes,
// up to 128 frames in blocks of up to 128, so that each input is quick and
// the fuzzer spends its time on sequences of calls and control changes;
// ostrevan_fuzz_long plays up to 32768 frames in blocks of up to 8192, room
// for whole glides and long rings.
//
// The input is read front to back as a list of operations; reads past the
// end give 0. The first byte (with more when it asks for raw bits) picks the
// sample rate, then each operation starts with one byte:
//
//   op % 8 = 0  run: a block size (0..MAX_BLOCK), a fill kind for the inputs
//            1  set a control value: slot, value (special, in range, or raw bits)
//            2  connect a control port to another port's value slot
//            3  connect the audio ports: inputs to any of four buffers, each
//               output to a buffer of its own or in place of an input's
//            4  connect_port with an index of 16 or more and a junk pointer
//            5  deactivate and activate
//            6  cleanup and instantiate again at a new sample rate
//            7  run several blocks in a row, inputs kept
//
// A second instance (the shadow) gets the same calls, always with separate
// buffers, and runs on an engine path of its own (by the input's length: the
// tube-by-tube engine, the lockstep engine with fused operations done in
// software, or with the instruction, where the processor has it): neither
// in-place processing nor the path may change a single bit of the output.
//
// Checked after every call, on both instances:
//   write_index in 0..5999, read_pos in [0, 6000), delay[6000..6004] equal
//   to delay[0..4] bit for bit, pending_length and glide_target 0 or within
//   [121, 5999], length within 1..6000, the read speed that belongs to the
//   glide state, the modulator phase within [-1, 1), and the feedback within
//   +-0.99999 unless a NaN could reach it (a NaN rate or decay, or an infinite
//   rate or decay meeting a zero in the feedback's divisor).
// After every run: every output finite, as long as the sample rate is not
// NaN, every control value offered so far lay within the range the bundle
// declares for it and every input sample so far was finite and within
// +-1e30 (well above any audio, and far enough below the float range that
// the loop's gain cannot overflow).

#include <lv2/core/lv2.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "diag/debug_log.h"
#include "plugin/instance.h"
#include "engine/engine_path.h"
#include "plugin/controls.h"
#include "plugin/fp_mode.h"
#include "plugin/ports.h"
#include "fuzz_harness.h"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace {

using namespace fuzz;

#ifdef FUZZ_LONG_SESSIONS
constexpr uint32_t MAX_BLOCK = 8192;
// Room for two complete glides (the longest takes 15000 frames).
constexpr uint64_t FRAME_BUDGET = 1u << 15;
#else
// A few blocks of each size class below the largest, and quick enough for
// well over 500 inputs per second of a core under the sanitizers; the frames
// of the shadow's path that emulates fused operations cost the most.
constexpr uint32_t MAX_BLOCK = 128;
constexpr uint64_t FRAME_BUDGET = 128;
#endif
// Instance pairs made again within one input, after the first.
constexpr int MAX_LIFETIMES = 4;
constexpr float INPUT_LIMIT = 1e30f;
constexpr int CONTROLS = PORT_COUNT - PORT_NOTE_1;
constexpr int BUFFERS = 8;  // 0..3 may be read, 4..7 are the outputs' own

struct Range {
    float low;
    float high;
};

// The ranges plugin.ttl.in declares, by control port (8..15).
constexpr Range DECLARED[CONTROLS] = {
    {0.0f, 127.0f},  {0.0f, 127.0f},   {0.0f, 127.0f},   {0.0f, 127.0f},
    {-48.0f, 48.0f}, {1.0f, 10000.0f}, {-120.0f, 12.0f}, {20.0f, 20000.0f},
};

float pick_value(Input& in, int slot)
{
    const uint8_t kind = in.byte();
    if (kind < 100) {
        return SPECIAL_VALUES[kind % (sizeof SPECIAL_VALUES / sizeof SPECIAL_VALUES[0])];
    }
    if (kind < 220) {
        const Range r = DECLARED[slot];
        const float t = static_cast<float>(in.u16()) / 65535.0f;
        return r.low + (r.high - r.low) * t;
    }
    return in.raw_float();
}

class Session {
public:
    Session(double rate, EnginePath shadow_path) : d_(lv2_descriptor(0)), shadow_path_(shadow_path)
    {
        for (auto& buffer : buffers_) {
            buffer.assign(MAX_BLOCK, 0.0f);
        }
        for (int i = 0; i < TUBE_COUNT; ++i) {
            shadow_in_[i].assign(MAX_BLOCK, 0.0f);
            shadow_out_[i].assign(MAX_BLOCK, 0.0f);
            in_buffer_[i] = i;
            out_buffer_[i] = 4 + i;
        }
        const float defaults[CONTROLS] = {60, 64, 67, 72, 0, 100, 0, 12000};
        for (int c = 0; c < CONTROLS; ++c) {
            slots_[c] = defaults[c];
            shadow_slots_[c] = defaults[c];
            slot_of_[c] = c;
        }
        start(rate);
    }

    ~Session() { stop(); }

    void step(Input& in)
    {
        switch (in.byte() % 8) {
        case 0:
            run_op(in, 1);
            break;
        case 1: {
            const int slot = in.byte() % CONTROLS;
            slots_[slot] = pick_value(in, slot);
            break;
        }
        case 2: {
            const int port = in.byte() % CONTROLS;
            slot_of_[port] = in.byte() % CONTROLS;
            connect_controls();
            break;
        }
        case 3:
            connect_audio(in);
            break;
        case 4:
            connect_beyond(in);
            break;
        case 5:
            for (LV2_Handle h : {primary_, shadow_}) {
                d_->deactivate(h);
                d_->activate(h);
            }
            check();
            break;
        case 6:
            // A new pair of instances costs more than many calls: a few per
            // input, then the rate byte is still read and the pair kept.
            if (++lifetimes_ <= MAX_LIFETIMES) {
                stop();
                start(pick_rate(in));
            } else {
                pick_rate(in);
            }
            break;
        case 7:
            run_op(in, 2 + in.byte() % 15);
            break;
        }
    }

private:
    void start(double rate)
    {
        rate_ = static_cast<float>(rate);
        clean_ = !std::isnan(rate_);
        nan_feedback_possible_ = !std::isfinite(rate_);
        require_log_off();
        primary_ = d_->instantiate(d_, rate, "", nullptr);
        shadow_ = d_->instantiate(d_, rate, "", nullptr);
        if (primary_ == nullptr || shadow_ == nullptr) {
            broken("instantiate gave no instance", -1, rate);
        }
        check();
        connect_controls();
        reconnect_audio();
        for (LV2_Handle h : {primary_, shadow_}) {
            d_->activate(h);
        }
    }

    void stop()
    {
        d_->deactivate(primary_);
        d_->deactivate(shadow_);
        d_->cleanup(primary_);
        d_->cleanup(shadow_);
    }

    void check()
    {
        check_tubes(primary_, nan_feedback_possible_);
        check_tubes(shadow_, nan_feedback_possible_);
    }

    void connect_controls()
    {
        for (int c = 0; c < CONTROLS; ++c) {
            d_->connect_port(primary_, PORT_NOTE_1 + c, &slots_[slot_of_[c]]);
            d_->connect_port(shadow_, PORT_NOTE_1 + c, &shadow_slots_[slot_of_[c]]);
        }
        check();
    }

    void reconnect_audio()
    {
        for (int i = 0; i < TUBE_COUNT; ++i) {
            d_->connect_port(primary_, PORT_IN_1 + i, buffers_[in_buffer_[i]].data());
            d_->connect_port(primary_, PORT_OUT_1 + i, buffers_[out_buffer_[i]].data());
            d_->connect_port(shadow_, PORT_IN_1 + i, shadow_in_[i].data());
            d_->connect_port(shadow_, PORT_OUT_1 + i, shadow_out_[i].data());
        }
        check();
    }

    // Inputs read from any of buffers 0..3; each output writes a buffer no
    // other output writes, its own or one an input reads.
    void connect_audio(Input& in)
    {
        const uint8_t inputs = in.byte();
        for (int i = 0; i < TUBE_COUNT; ++i) {
            in_buffer_[i] = (inputs >> (2 * i)) & 3;
        }
        bool taken[BUFFERS] = {};
        for (int i = 0; i < TUBE_COUNT; ++i) {
            const uint8_t choice = in.byte();
            const int wanted = choice < 128 ? 4 + i : choice % 4;
            out_buffer_[i] = taken[wanted] ? 4 + i : wanted;
            taken[out_buffer_[i]] = true;
        }
        reconnect_audio();
    }

    void connect_beyond(Input& in)
    {
        uint32_t port = in.u32();
        if (port < PORT_COUNT) {
            port += PORT_COUNT;
        }
        void* junk[] = {nullptr, reinterpret_cast<void*>(uintptr_t{1}), buffers_[0].data(),
                        &slots_[0]};
        void* data = junk[in.byte() % 4];
        PluginInstance before;
        std::memcpy(&before, primary_, sizeof before);
        d_->connect_port(primary_, port, data);
        d_->connect_port(shadow_, port, data);
        EXPECT(std::memcmp(&before, primary_, sizeof before) == 0,
               "connect_port beyond the ports changed the instance", -1, port);
        check();
    }

    void fill_inputs(Input& in, uint32_t frames)
    {
        const uint8_t kind = in.byte() % 9;
        if (kind == 0) {
            return;  // keep what is there, earlier outputs included
        }
        const uint8_t pick = in.byte();
        const float special =
            SPECIAL_VALUES[pick % (sizeof SPECIAL_VALUES / sizeof SPECIAL_VALUES[0])];
        const uint16_t position = in.u16();
        const uint32_t at = frames == 0 ? 0 : position % frames;
        for (int b = 0; b < 4; ++b) {
            float* data = buffers_[b].data();
            uint32_t state = noise_seed_++ * 2654435761u + 1u;
            for (uint32_t s = 0; s < frames; ++s) {
                state = state * 1664525u + 1013904223u;
                const float noise = static_cast<float>(state >> 8) * (2.0f / 16777216.0f) - 1.0f;
                switch (kind) {
                case 1:
                    data[s] = 0.0f;
                    break;
                case 2:
                    data[s] = noise;
                    break;
                case 3:
                    data[s] = s == at ? special : noise;
                    break;
                case 4:
                    data[s] = special;
                    break;
                case 5:
                    data[s] = noise * 1e-39f;
                    break;  // subnormal
                case 6:
                    data[s] = noise * 1e30f;
                    break;
                case 7:
                    data[s] = s % 2 == 0 ? 1.0f : -1.0f;
                    break;
                default:
                    data[s] = s == at ? 1.0f : 0.0f;
                    break;
                }
            }
        }
    }

    uint32_t pick_block(Input& in)
    {
        const uint8_t size = in.byte();
        uint32_t frames = size < 128   ? size % 33u
                          : size < 250 ? in.u16() % (MAX_BLOCK + 1)
                                       : MAX_BLOCK;
        if (frames_used_ + frames > FRAME_BUDGET) {
            frames = 0;
        }
        frames_used_ += frames;
        return frames;
    }

    // What run is about to read: any value outside the declared range, or any
    // input beyond the limit, ends the promise of finite output.
    void note_what_run_reads(uint32_t frames)
    {
        for (int c = 0; c < CONTROLS; ++c) {
            const float value = slots_[slot_of_[c]];
            if (!(value >= DECLARED[c].low && value <= DECLARED[c].high)) {
                clean_ = false;
            }
            if (PORT_NOTE_1 + c == PORT_DECAY && !std::isfinite(value * 4.0f)) {
                nan_feedback_possible_ = true;
            }
        }
        for (int i = 0; i < TUBE_COUNT; ++i) {
            const float* data = buffers_[in_buffer_[i]].data();
            for (uint32_t s = 0; s < frames; ++s) {
                if (!(std::fabs(data[s]) <= INPUT_LIMIT)) {
                    clean_ = false;
                }
            }
        }
    }

    void run_op(Input& in, int repeats)
    {
        const uint32_t frames = pick_block(in);
        fill_inputs(in, frames);
        for (int r = 0; r < repeats; ++r) {
            const uint32_t now = r == 0 ? frames : pick_repeat(frames);
            run_both(now);
        }
    }

    uint32_t pick_repeat(uint32_t frames)
    {
        if (frames_used_ + frames > FRAME_BUDGET) {
            return 0;
        }
        frames_used_ += frames;
        return frames;
    }

    void run_both(uint32_t frames)
    {
        note_what_run_reads(frames);
        for (int c = 0; c < CONTROLS; ++c) {
            shadow_slots_[c] = slots_[c];
        }
        for (int i = 0; i < TUBE_COUNT; ++i) {
            std::memcpy(shadow_in_[i].data(), buffers_[in_buffer_[i]].data(),
                        frames * sizeof(float));
        }
        d_->run(primary_, frames);
        run_on_shadow_path(frames);
        check();
        for (int i = 0; i < TUBE_COUNT; ++i) {
            const float* out = buffers_[out_buffer_[i]].data();
            EXPECT(std::memcmp(out, shadow_out_[i].data(), frames * sizeof(float)) == 0,
                   "output in place, or on the shadow's path, differs", i,
                   static_cast<int>(shadow_path_));
            if (clean_) {
                for (uint32_t s = 0; s < frames; ++s) {
                    EXPECT(std::isfinite(out[s]), "non-finite output from in-range input", i,
                           out[s]);
                }
            }
        }
    }

    // The descriptor's run, with the engine path given rather than chosen.
    void run_on_shadow_path(uint32_t frames)
    {
        const FlushToZeroScope mode;
        auto* instance = static_cast<PluginInstance*>(shadow_);
        apply_controls(*instance->bank, instance->controls);
        process_frames_on(shadow_path_, *instance->bank, instance->input, instance->output, frames);
    }

    const LV2_Descriptor* d_;
    const EnginePath shadow_path_;
    LV2_Handle primary_ = nullptr;
    LV2_Handle shadow_ = nullptr;
    float rate_ = 0.0f;
    bool clean_ = true;
    bool nan_feedback_possible_ = false;
    uint64_t frames_used_ = 0;
    uint32_t noise_seed_ = 1;
    int lifetimes_ = 0;

    std::array<std::vector<float>, BUFFERS> buffers_;
    std::array<std::vector<float>, TUBE_COUNT> shadow_in_;
    std::array<std::vector<float>, TUBE_COUNT> shadow_out_;
    int in_buffer_[TUBE_COUNT];
    int out_buffer_[TUBE_COUNT];
    float slots_[CONTROLS];
    float shadow_slots_[CONTROLS];
    int slot_of_[CONTROLS];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    EnginePath paths[std::size(ENGINE_PATHS)];
    size_t count = 0;
    for (EnginePath path : ENGINE_PATHS) {
        if (engine_path_available(path)) paths[count++] = path;
    }
    Session session(pick_rate(in), paths[size % count]);
    while (!in.done()) {
        session.step(in);
    }
    return 0;
}
