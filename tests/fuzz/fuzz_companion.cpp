// libFuzzer target: short lifetimes of a companion (mono or stereo) played
// from its knobs and its MIDI input, beside a four-channel instance (the
// shadow) fed the same values and audio.
//
// The input is read front to back as a list of operations; reads past the
// end give 0. The first byte picks the companion (bit 0: mono or stereo) and
// whether its first controls are those under which it must equal the shadow
// (bit 1: tuning as the four-channel plug-in, notes from the knobs, mix
// 100 %, width 0); then the sample rate; then each operation starts with
// one byte:
//
//   op % 8 = 0  run one block: a size (0..MAX_BLOCK), a fill kind for the
//               inputs, and MIDI events for the block
//            1  set a control: which, and a value (special, near the range,
//               or raw bits)
//            2  switch notes_from, tuning or input: 0, 1, or a value between
//            3  process in place: the outputs into the inputs' buffers,
//               straight or crossed
//            4  connect_port with an index past the plug-in's ports
//            5  deactivate and activate
//            6  cleanup and instantiate again: another companion, a new rate
//            7  run several blocks of one size in a row, inputs kept
//
// The MIDI events of a block (up to 16) are note-ons, note-offs, note-ons
// of velocity 0, chords at one frame, all-notes-off, other messages, short
// messages, data bytes of 128 or more, events of another type, a size past
// the end of the sequence, at frames in order, at the same frame, out of
// order, before the block or past it; the sequence itself may be absent, of
// another type, stamped in beats, or cut short at any byte. It is handed to
// the plug-in in memory of exactly its declared size, so that a read past
// its end is caught.
//
// Checked after every call: the tube invariants of both instances. After
// every run:
//   - each control as the companion took it: a finite value clamped to the
//     declared range, the last good one for any other (the notes as far as
//     they are the knobs' and not from MIDI);
//   - every output finite, as long as the sample rate is not NaN and every
//     input sample so far was finite and within +-1e30;
//   - every output within the dry gain times the input plus the wet gain
//     times the tubes' gains times the level gain (no tube's output exceeds
//     the level gain, each reaches a side at half of its equal-power gain);
//   - while the tuning has always been the four-channel plug-in's and the
//     notes the knobs': each of the shadow's tubes within the level gain,
//     and, while the mix is 100 % and the width 0, both outputs equal, bit
//     for bit, to the shadow's four outputs mixed in the centre.

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_harness.h"
#include "plugin/companion.h"
#include "plugin/controls.h"
#include "plugin/ports.h"
#include "support/companion_host.h"
#include "support/plugin_harness.h"

namespace {

using namespace fuzz;

constexpr uint32_t MAX_BLOCK = 128;
constexpr uint64_t FRAME_BUDGET = 128;
constexpr int MAX_LIFETIMES = 4;
constexpr int MAX_EVENTS = 16;
constexpr float INPUT_LIMIT = 1e30f;

// The controls a companion has, the stereo one's input last.
constexpr ControlId COMPANION_CONTROLS[] = {
    CONTROL_NOTE_1,     CONTROL_NOTE_2, CONTROL_NOTE_3,  CONTROL_NOTE_4, CONTROL_TRANSPOSE,
    CONTROL_DECAY,      CONTROL_LEVEL,  CONTROL_DAMPING, CONTROL_MIX,    CONTROL_WIDTH,
    CONTROL_NOTES_FROM, CONTROL_TUNING, CONTROL_INPUT,
};

bool is_note(ControlId id)
{
    return id >= CONTROL_NOTE_1 && id <= CONTROL_NOTE_4;
}

bool chosen(float enumeration_value)
{
    return enumeration_value >= 0.5f;
}

float clamped(ControlId id, float value)
{
    return std::min(std::max(value, CONTROLS[id].minimum), CONTROLS[id].maximum);
}

// The largest each output can be: the dry gain, min(1, 2 (1 - mix)), times
// the input, plus the wet gain, min(1, 2 mix), times each tube's share of
// the side, half of its equal-power gain at its place (60 % and 30 % out at
// full width), times the level gain, which no tube's output exceeds.
struct Bound {
    double dry, left, right;
};

Bound output_bound(float mix_percent, float width_percent, double level_gain)
{
    const double pi = 3.14159265358979323846;
    const double offsets[TUBE_COUNT] = {-0.6, 0.6, -0.3, 0.3};
    const double m = mix_percent / 100.0;
    const double wet = std::min(1.0, 2.0 * m);
    Bound b{std::min(1.0, 2.0 * (1.0 - m)), 0.0, 0.0};
    for (double offset : offsets) {
        const double angle = pi / 4.0 * (1.0 + width_percent / 100.0 * offset);
        b.left += 0.5 * std::cos(angle);
        b.right += 0.5 * std::sin(angle);
    }
    const double slack = 1.0 + 1e-5;
    b.left *= wet * level_gain * slack;
    b.right *= wet * level_gain * slack;
    b.dry *= slack;
    return b;
}

// One block's atom sequence, built as a host would (or would by mistake).
class Sequence {
public:
    Sequence()
    {
        bytes_.resize(sizeof(LV2_Atom_Sequence));
        header().atom.type = map_uri(nullptr, LV2_ATOM__Sequence);
        header().body.unit = map_uri(nullptr, LV2_ATOM__frameTime);
        header().body.pad = 0;
    }

    void add(int64_t frame, LV2_URID type, const uint8_t* body, uint32_t size,
             uint32_t declared_size)
    {
        LV2_Atom_Event event;
        event.time.frames = frame;
        event.body.size = declared_size;
        event.body.type = type;
        const auto* head = reinterpret_cast<const uint8_t*>(&event);
        bytes_.insert(bytes_.end(), head, head + sizeof event);
        bytes_.insert(bytes_.end(), body, body + size);
        bytes_.resize(bytes_.size() + (lv2_atom_pad_size(size) - size), 0);
    }

    // The sequence in memory of exactly its declared size (at least its
    // header), cut to `keep` bytes of events when asked.
    const LV2_Atom_Sequence* finish(LV2_URID type, LV2_URID unit, size_t keep)
    {
        const size_t events = bytes_.size() - sizeof(LV2_Atom_Sequence);
        const size_t size = sizeof(LV2_Atom_Sequence_Body) + std::min(keep, events);
        header().atom.size = static_cast<uint32_t>(size);
        header().atom.type = type;
        header().body.unit = unit;
        exact_.assign(bytes_.begin(), bytes_.begin() + sizeof(LV2_Atom) + size);
        return reinterpret_cast<const LV2_Atom_Sequence*>(exact_.data());
    }

private:
    LV2_Atom_Sequence& header() { return *reinterpret_cast<LV2_Atom_Sequence*>(bytes_.data()); }
    std::vector<uint8_t> bytes_;
    std::vector<uint8_t> exact_;
};

class Session {
public:
    Session(uint8_t first, double rate) : differential_start_((first & 2) != 0)
    {
        start(first & 1 ? PluginKind::MONO : PluginKind::STEREO, rate);
    }

    void step(Input& in)
    {
        switch (in.byte() % 8) {
        case 0:
            run_op(in, 1);
            break;
        case 1: {
            const ControlId id = COMPANION_CONTROLS[in.byte() % control_count()];
            companion_->control(id) = pick_control_value(in, id);
            break;
        }
        case 2: {
            const uint8_t which = in.byte();
            const ControlId ids[] = {CONTROL_NOTES_FROM, CONTROL_TUNING, CONTROL_INPUT};
            const float values[] = {0.0f, 1.0f, 0.49f, 0.5f, NaN, -1.0f, 2.0f, 1e30f};
            const ControlId id = ids[which % (stereo() ? 3 : 2)];
            companion_->control(id) = values[(which >> 2) % 8];
            break;
        }
        case 3:
            in_place_ = true;
            crossed_ = in.byte() % 2 == 1;
            companion_->connect_in_place(crossed_);
            break;
        case 4:
            connect_beyond(in);
            break;
        case 5:
            for (auto pair : {std::make_pair(companion_->descriptor(), companion_->handle()),
                              std::make_pair(four_->descriptor, four_->handle)}) {
                pair.first->deactivate(pair.second);
                pair.first->activate(pair.second);
            }
            check();
            break;
        case 6: {
            const uint8_t kind = in.byte();
            const double rate = pick_rate(in);
            if (++lifetimes_ <= MAX_LIFETIMES) {
                start(kind & 1 ? PluginKind::MONO : PluginKind::STEREO, rate);
            }
            break;
        }
        case 7:
            run_op(in, 2 + in.byte() % 7);
            break;
        }
    }

private:
    bool stereo() const { return kind_ == PluginKind::STEREO; }
    int control_count() const { return stereo() ? 13 : 12; }

    void start(PluginKind kind, double rate)
    {
        companion_.reset();
        four_.reset();
        kind_ = kind;
        const auto rate_as_float = static_cast<float>(rate);
        clean_ = !std::isnan(rate_as_float);
        nan_feedback_possible_ = !std::isfinite(rate_as_float);
        in_place_ = false;
        require_log_off();
        companion_ = std::make_unique<CompanionHost>(kind, rate, MAX_BLOCK);
        four_ = std::make_unique<PluginHarness>(rate, MAX_BLOCK);
        for (int id = 0; id < CONTROL_COUNT; ++id) {
            taken_[id] = CONTROLS[id].default_value;
        }
        if (differential_start_) {
            companion_->control(CONTROL_TUNING) = 1.0f;
            companion_->control(CONTROL_NOTES_FROM) = 0.0f;
            companion_->control(CONTROL_MIX) = 100.0f;
            companion_->control(CONTROL_WIDTH) = 0.0f;
        }
        shadow_valid_ = true;
        level_gain_ = 1.0;
        for (uint32_t port = 0; port < port_count(); ++port) {
            if (ports()[port].kind == PortKind::MIDI_IN) midi_port_ = port;
        }
        check();
    }

    const PortRow* ports() const { return stereo() ? STEREO_PORTS : MONO_PORTS; }
    uint32_t port_count() const
    {
        return stereo() ? uint32_t(STEREO_PORT_COUNT) : uint32_t(MONO_PORT_COUNT);
    }

    void check()
    {
        check_tubes(companion_->handle(), nan_feedback_possible_);
        check_tubes(four_->handle, nan_feedback_possible_);
    }

    float pick_control_value(Input& in, ControlId id)
    {
        const uint8_t kind = in.byte();
        if (kind < 100) {
            return SPECIAL_VALUES[kind % (sizeof SPECIAL_VALUES / sizeof SPECIAL_VALUES[0])];
        }
        if (kind < 220) {
            // The declared range and a quarter of it on either side.
            const float low = CONTROLS[id].minimum, high = CONTROLS[id].maximum;
            const float t = static_cast<float>(in.u16()) / 65535.0f * 1.5f - 0.25f;
            return low + (high - low) * t;
        }
        return in.raw_float();
    }

    void connect_beyond(Input& in)
    {
        const uint32_t port = port_count() + in.u32() % (0xffffffffu - port_count());
        void* junk[] = {nullptr, reinterpret_cast<void*>(uintptr_t{1}), &taken_[0]};
        void* data = junk[in.byte() % 3];
        PluginInstance& instance = companion_->instance();
        PluginInstance before;
        std::memcpy(&before, &instance, sizeof before);
        std::vector<uint8_t> record(sizeof(Companion));
        std::memcpy(record.data(), instance.companion, sizeof(Companion));
        companion_->descriptor()->connect_port(companion_->handle(), port, data);
        EXPECT(std::memcmp(&before, &instance, sizeof before) == 0 &&
                   std::memcmp(record.data(), instance.companion, sizeof(Companion)) == 0,
               "connect_port past the ports changed the instance", -1, port);
        check();
    }

    uint32_t take_frames(uint32_t wanted)
    {
        if (frames_used_ + wanted > FRAME_BUDGET) return 0;
        frames_used_ += wanted;
        return wanted;
    }

    void fill_inputs(Input& in, uint32_t frames)
    {
        const uint8_t kind = in.byte() % 9;
        if (kind == 0) return;  // keep what is there, earlier outputs included
        const float special =
            SPECIAL_VALUES[in.byte() % (sizeof SPECIAL_VALUES / sizeof SPECIAL_VALUES[0])];
        const uint32_t at = frames == 0 ? 0 : in.byte() % frames;
        for (std::vector<float>* buffer : {&companion_->in_left, &companion_->in_right}) {
            uint32_t state = noise_seed_++ * 2654435761u + 1u;
            for (uint32_t s = 0; s < frames; ++s) {
                state = state * 1664525u + 1013904223u;
                const float noise = static_cast<float>(state >> 8) * (2.0f / 16777216.0f) - 1.0f;
                float& x = (*buffer)[s];
                switch (kind) {
                case 1:
                    x = 0.0f;
                    break;
                case 2:
                    x = noise;
                    break;
                case 3:
                    x = s == at ? special : noise;
                    break;
                case 4:
                    x = noise * 1e30f;
                    break;
                case 5:
                    x = s % 2 == 0 ? 1.0f : -1.0f;
                    break;
                case 7:  // drives the limiter
                    x = noise * 1e4f;
                    break;
                case 6:  // a mono track
                    x = buffer == &companion_->in_left ? noise : 0.0f;
                    break;
                default:
                    x = s == at ? 1.0f : 0.0f;
                    break;
                }
            }
        }
    }

    void add_events(Input& in, Sequence& sequence, uint32_t frames)
    {
        const LV2_URID midi = map_uri(nullptr, LV2_MIDI__MidiEvent);
        const int count = in.byte() % (MAX_EVENTS + 1);
        int64_t frame = 0;
        for (int e = 0; e < count; ++e) {
            const uint8_t when = in.byte();
            switch (when % 8) {
            case 0:
            case 1:
            case 2:  // in order
                frame = frame > INT64_MAX - 8 ? frame : frame + when / 8 % 9;
                break;
            case 3:  // same frame
                break;
            case 4:  // any order
                frame = frames == 0 ? 0 : when % frames;
                break;
            case 5:  // at the end or past
                frame = int64_t(frames) + when / 8;
                break;
            case 6:  // before the block
                frame = -int64_t(when / 8) - 1;
                break;
            default:  // the ends of the stamp's range
                frame = when & 8 ? INT64_MAX : INT64_MIN;
                break;
            }
            const uint8_t what = in.byte();
            const uint8_t channel = what >> 4;
            const uint8_t note = in.byte() % 128;
            uint8_t m[8] = {
                uint8_t(0x90 | channel), note, uint8_t(1 + in.byte() % 127), 0, 0, 0, 0, 0};
            uint32_t size = 3;
            LV2_URID type = midi;
            switch (what % 12) {
            case 0:  // note on
                break;
            case 1:  // note off
                m[0] = 0x80 | channel;
                break;
            case 2:  // note on, velocity 0
                m[2] = 0;
                break;
            case 3:  // a chord at one frame
                for (int k = 0; k < 3; ++k) {
                    sequence.add(frame, midi, m, 3, 3);
                    m[1] = (m[1] + 3 + k) % 128;
                }
                break;
            case 4:
                m[0] = 0xB0 | channel;
                m[1] = note % 2 ? 123 : 120;
                m[2] = 0;
                break;
            case 5:  // pitch bend: passed over
                m[0] = 0xE0 | channel;
                break;
            case 6:  // too short
                size = in.byte() % 3;
                break;
            case 7:  // a status byte as data
                m[1] |= 0x80;
                break;
            case 8:  // running status: no status byte
                m[0] = note;
                size = 2;
                break;
            case 9:
                type = map_uri(nullptr, LV2_ATOM__Float);
                break;
            case 10:  // trailing bytes
                size = 3 + in.byte() % 6;
                break;
            default:  // runs past the sequence's end
                sequence.add(frame, midi, m, 3, 3 + in.u16());
                return;
            }
            sequence.add(frame, type, m, size, size);
        }
    }

    const LV2_Atom_Sequence* pick_sequence(Input& in, uint32_t frames)
    {
        Sequence& sequence = sequence_;
        sequence = Sequence();
        add_events(in, sequence, frames);
        const uint8_t how = in.byte();
        LV2_URID type = map_uri(nullptr, LV2_ATOM__Sequence);
        LV2_URID unit = map_uri(nullptr, LV2_ATOM__frameTime);
        size_t keep = SIZE_MAX;
        switch (how % 16) {
        case 0:
            return nullptr;
        case 1:
            type = map_uri(nullptr, LV2_ATOM__Chunk);
            break;
        case 2:
            unit = map_uri(nullptr, LV2_ATOM__beatTime);
            break;
        case 3:
            unit = 0;
            break;
        case 4:
            keep = in.u16() % 512;
            break;
        default:
            break;
        }
        return sequence.finish(type, unit, keep);
    }

    void run_op(Input& in, int repeats)
    {
        const uint8_t size = in.byte();
        const uint32_t frames = take_frames(size < 192 ? size % 33u : size % (MAX_BLOCK + 1));
        fill_inputs(in, frames);
        const LV2_Atom_Sequence* sequence = pick_sequence(in, frames);
        for (int r = 0; r < repeats; ++r) {
            // The host clears the sequence after a run: later blocks get none.
            companion_->descriptor()->connect_port(companion_->handle(), midi_port_,
                                                   const_cast<LV2_Atom_Sequence*>(sequence));
            run_both(r == 0 ? frames : take_frames(frames));
            sequence = empty_.finish(map_uri(nullptr, LV2_ATOM__Sequence),
                                     map_uri(nullptr, LV2_ATOM__frameTime), 0);
        }
    }

    void run_both(uint32_t frames)
    {
        CompanionHost& c = *companion_;
        // What the run reads, before it may write over it in place.
        std::vector<float> dry_left(c.in_left.begin(), c.in_left.begin() + frames);
        std::vector<float> dry_right =
            stereo() ? std::vector<float>(c.in_right.begin(), c.in_right.begin() + frames)
                     : dry_left;
        for (uint32_t f = 0; f < frames; ++f) {
            if (!(std::fabs(dry_left[f]) <= INPUT_LIMIT &&
                  std::fabs(dry_right[f]) <= INPUT_LIMIT)) {
                clean_ = false;
            }
        }
        const double gain_before = level_gain_;
        c.run(frames);
        check();
        check_taken_controls();

        const Controls& taken = c.instance().controls;
        auto cache = [&](ControlId id) { return taken.control[id].cache; };
        level_gain_ = std::pow(10.0, cache(CONTROL_LEVEL) / 20.0);
        const float* out_left = !in_place_ ? c.out_left.data()
                                : crossed_ ? c.in_right.data()
                                           : c.in_left.data();
        const float* out_right = !in_place_ ? c.out_right.data()
                                 : crossed_ ? c.in_left.data()
                                            : c.in_right.data();
        if (clean_) {
            const Bound b = output_bound(cache(CONTROL_MIX), cache(CONTROL_WIDTH),
                                         std::max(gain_before, level_gain_));
            for (uint32_t f = 0; f < frames; ++f) {
                EXPECT(std::isfinite(out_left[f]) && std::isfinite(out_right[f]),
                       "non-finite output from in-range input", -1, f);
                EXPECT(std::fabs(out_left[f]) <= b.dry * std::fabs(dry_left[f]) + b.left,
                       "left output beyond the mixed gains", -1, out_left[f]);
                EXPECT(std::fabs(out_right[f]) <= b.dry * std::fabs(dry_right[f]) + b.right,
                       "right output beyond the mixed gains", -1, out_right[f]);
            }
        }

        shadow_valid_ =
            shadow_valid_ && !chosen(cache(CONTROL_NOTES_FROM)) && chosen(cache(CONTROL_TUNING));
        if (!shadow_valid_) return;
        // The shadow gets the values as the companion took them, and each
        // tube the input the companion's routing gives it.
        PluginHarness& four = *four_;
        float* values[8] = {&four.control.note[0], &four.control.note[1],   &four.control.note[2],
                            &four.control.note[3], &four.control.transpose, &four.control.decay,
                            &four.control.level,   &four.control.damping};
        for (int k = 0; k < 8; ++k) *values[k] = cache(COMPANION_CONTROLS[k]);
        const bool split = stereo() && chosen(cache(CONTROL_INPUT));
        for (uint32_t f = 0; f < frames; ++f) {
            const float l = dry_left[f], r = dry_right[f];
            const float summed = stereo() ? l + r : l;
            four.in[0][f] = four.in[2][f] = split ? l : summed;
            four.in[1][f] = four.in[3][f] = split ? r : summed;
        }
        four.descriptor->run(four.handle, frames);
        check();
        if (clean_) {
            const double tube_bound = std::max(gain_before, level_gain_) * (1.0 + 1e-6);
            for (int i = 0; i < TUBE_COUNT; ++i) {
                for (uint32_t f = 0; f < frames; ++f) {
                    EXPECT(std::fabs(four.out[i][f]) <= tube_bound,
                           "a tube's output beyond the level gain", i, four.out[i][f]);
                }
            }
        }
        if (cache(CONTROL_MIX) != 100.0f || cache(CONTROL_WIDTH) != 0.0f) return;
        for (uint32_t f = 0; f < frames; ++f) {
            const float want =
                centred_tubes(four.out[0][f], four.out[1][f], four.out[2][f], four.out[3][f]);
            EXPECT(std::memcmp(&out_left[f], &want, sizeof want) == 0 &&
                       std::memcmp(&out_right[f], &want, sizeof want) == 0,
                   "output differs from the four-channel plug-in's mixed", -1, f);
        }
    }

    // Each control as the companion took it at the start of the run.
    void check_taken_controls()
    {
        const Controls& controls = companion_->instance().controls;
        const bool from_keys = chosen(controls.control[CONTROL_NOTES_FROM].cache);
        for (int k = 0; k < control_count(); ++k) {
            const ControlId id = COMPANION_CONTROLS[k];
            const float sent = companion_->control(id);
            const float cache = controls.control[id].cache;
            if (is_note(id)) {
                // The knobs' notes as sent, or some note in range.
                if (from_keys) continue;
                EXPECT(
                    std::isfinite(sent) ? cache == clamped(id, sent) : cache == clamped(id, cache),
                    "a note not taken as sent", id, cache);
                continue;
            }
            if (std::isfinite(sent)) taken_[id] = clamped(id, sent);
            EXPECT(cache == taken_[id], "a control not taken as sent, clamped, or kept", id, cache);
        }
    }

    const bool differential_start_;
    PluginKind kind_ = PluginKind::MONO;
    std::unique_ptr<CompanionHost> companion_;
    std::unique_ptr<PluginHarness> four_;
    Sequence sequence_, empty_;
    uint32_t midi_port_ = 0;
    bool clean_ = true;
    bool nan_feedback_possible_ = false;
    bool shadow_valid_ = true;
    bool in_place_ = false;
    bool crossed_ = false;
    double level_gain_ = 1.0;
    float taken_[CONTROL_COUNT];
    uint64_t frames_used_ = 0;
    uint32_t noise_seed_ = 1;
    int lifetimes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    const uint8_t first = in.byte();
    Session session(first, pick_rate(in));
    while (!in.done()) {
        session.step(in);
    }
    return 0;
}
