#include "bench_session.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <lv2/atom/atom.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <string>
#include <vector>

#include "diag/debug_log.h"
#include "urid_map.h"

namespace {

constexpr int TUBES = 4;

// Uniform noise in [-1, 1) for the burst, silence after it; each tube has its
// own seed so that the four inputs differ.
std::vector<float> burst_track(uint32_t seed)
{
    std::vector<float> track(TRACK_FRAMES, 0.0f);
    uint32_t state = seed * 2654435761u + 1u;
    for (uint32_t s = 0; s < BURST_FRAMES; ++s) {
        state = state * 1664525u + 1013904223u;
        track[s] = static_cast<float>(state >> 8) * (2.0f / 16777216.0f) - 1.0f;
    }
    return track;
}

// How long a session waits for someone else's diagnostic log to go away.
constexpr auto LOG_WAIT = std::chrono::minutes(5);

// The plug-in reads its log switch when an instance is made.
bool log_file_exists()
{
    struct stat info;
    return stat(LOG_PATH, &info) == 0;
}

// The worker's queue: the session the plug-in was made in (sessions are made
// and run one at a time).
std::vector<std::vector<uint8_t>>* scheduled = nullptr;

LV2_Worker_Status schedule_work(LV2_Worker_Schedule_Handle, uint32_t size, const void* data)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    scheduled->emplace_back(bytes, bytes + size);
    return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status keep_answer(LV2_Worker_Respond_Handle handle, uint32_t size, const void* data)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    static_cast<std::vector<std::vector<uint8_t>>*>(handle)->emplace_back(bytes, bytes + size);
    return LV2_WORKER_SUCCESS;
}

// The hosts' URID map, and the worker.
const LV2_Feature* const* bench_features()
{
    static const LV2_Feature map_feature{LV2_URID__map, host_urid_map()};
    static LV2_Worker_Schedule worker{nullptr, schedule_work};
    static const LV2_Feature worker_feature{LV2_WORKER__schedule, &worker};
    static const LV2_Feature* const features[] = {&map_feature, &worker_feature, nullptr};
    return features;
}

}  // namespace

void wait_for_log_off()
{
    if (!log_file_exists()) {
        return;
    }
    std::fprintf(stderr, "waiting for the diagnostic log %s to be switched off\n", LOG_PATH);
    const auto give_up = std::chrono::steady_clock::now() + LOG_WAIT;
    while (log_file_exists()) {
        if (std::chrono::steady_clock::now() > give_up) {
            std::fprintf(stderr, "%s is still there: not measuring with the log on\n", LOG_PATH);
            std::exit(3);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

const char* motion_name(Motion motion)
{
    switch (motion) {
    case Motion::steady:
        return "steady";
    case Motion::gliding:
        return "gliding";
    case Motion::chords:
        return "chords";
    default:
        return "sweeping";
    }
}

BenchSession::BenchSession(const LV2_Descriptor* descriptor, Motion motion, uint32_t block,
                           PluginKind kind)
    : descriptor_(descriptor),
      handle_((scheduled = &work_,
               descriptor->instantiate(descriptor, BENCH_RATE, "", bench_features()))),
      motion_(motion),
      block_(block),
      midi_(),
      kind_(kind)
{
    // Looked at after the instance, which has just read its switch.
    log_on_ = log_file_exists();
    if (handle_ == nullptr || block == 0 || TRACK_FRAMES % block != 0) {
        std::fprintf(stderr, "cannot run blocks of %u frames\n", block);
        std::exit(2);
    }
    for (int id = 0; id < CONTROL_COUNT; ++id) {
        controls_[id] = CONTROLS[id].default_value;
    }
    if (motion == Motion::chords && kind != PluginKind::FOUR) {
        controls_[CONTROL_NOTES_FROM] = 1.0f;  // MIDI
    }
    auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(midi_.data());
    sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
    sequence->atom.type = map_uri(nullptr, LV2_ATOM__Sequence);
    sequence->body.unit = map_uri(nullptr, LV2_ATOM__frameTime);
    midi_event_ = map_uri(nullptr, LV2_MIDI__MidiEvent);
    for (int i = 0; i < TUBES; ++i) {
        track_[i] = burst_track(static_cast<uint32_t>(i) + 1);
        inputs_[i].assign(block, 0.0f);
        outputs_[i].assign(block, 0.0f);
    }
    const PortRow* ports = kind == PluginKind::FOUR   ? FOUR_PORTS
                            : kind == PluginKind::MONO ? MONO_PORTS
                                                       : STEREO_PORTS;
    const uint32_t count = kind == PluginKind::FOUR   ? uint32_t(PORT_COUNT)
                           : kind == PluginKind::MONO ? uint32_t(MONO_PORT_COUNT)
                                                      : uint32_t(STEREO_PORT_COUNT);
    for (uint32_t port = 0; port < count; ++port) {
        const PortRow& row = ports[port];
        void* data = midi_.data();
        if (row.kind == PortKind::AUDIO_IN) data = inputs_[row.slot].data();
        if (row.kind == PortKind::AUDIO_OUT) data = outputs_[row.slot].data();
        if (row.kind == PortKind::CONTROL) data = &controls_[row.slot];
        descriptor_->connect_port(handle_, port, data);
    }
    worker_ = descriptor_->extension_data(LV2_WORKER__interface);
    descriptor_->activate(handle_);
}

void BenchSession::run()
{
    descriptor_->run(handle_, block_);
    const auto* worker = static_cast<const LV2_Worker_Interface*>(worker_);
    for (const std::vector<uint8_t>& answer : answers_) {
        worker->work_response(handle_, static_cast<uint32_t>(answer.size()), answer.data());
    }
    answers_.clear();
}

void BenchSession::work()
{
    const auto* worker = static_cast<const LV2_Worker_Interface*>(worker_);
    for (const std::vector<uint8_t>& asked : work_) {
        worker->work(handle_, keep_answer, &answers_, static_cast<uint32_t>(asked.size()),
                     asked.data());
    }
    work_.clear();
}

BenchSession::~BenchSession()
{
    descriptor_->deactivate(handle_);
    descriptor_->cleanup(handle_);
}

void BenchSession::settle()
{
    for (uint32_t done = 0; done < SETTLE_FRAMES; done += block_) {
        copy_input();
        run();
        work();
        frames_ += block_;
    }
    settled_ = frames_;
}

void BenchSession::next_block()
{
    copy_input();
    // The keys of the last run were read: the sequence starts empty again.
    auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(midi_.data());
    sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
    if (motion_ == Motion::chords && (frames_ - settled_) % CHORD_EVERY_FRAMES < block_) {
        const float* previous = BENCH_CHORDS[(chord_step_ + 3) % 4];
        const float* next = BENCH_CHORDS[chord_step_++ % 4];
        if (kind_ == PluginKind::FOUR) {
            for (int i = 0; i < TUBES; ++i) controls_[CONTROL_NOTE_1 + i] = next[i];
        } else {
            write_chord_keys(previous, next);
        }
    }
    if (motion_ == Motion::gliding && (frames_ - settled_) % GLIDE_EVERY_FRAMES < block_) {
        controls_[CONTROL_TRANSPOSE] =
            GLIDE_TRANSPOSES[glide_step_++ % GLIDE_TRANSPOSES.size()];
    }
    if (motion_ == Motion::sweeping) {
        const float ramp = static_cast<float>((frames_ - settled_) % TRACK_FRAMES) / TRACK_FRAMES;
        controls_[CONTROL_DAMPING] = SWEEP_LOW_HZ + (SWEEP_HIGH_HZ - SWEEP_LOW_HZ) * ramp;
    }
    frames_ += block_;
}

// The previous chord's keys released, the next one's pressed, all at the
// block's first frame.
void BenchSession::write_chord_keys(const float* previous, const float* next)
{
    auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(midi_.data());
    uint8_t* end = midi_.data() + sizeof(LV2_Atom_Sequence);
    for (int k = 0; k < 2 * TUBES; ++k) {
        auto* event = reinterpret_cast<LV2_Atom_Event*>(end);
        event->time.frames = 0;
        event->body.size = 3;
        event->body.type = midi_event_;
        auto* message = reinterpret_cast<uint8_t*>(event + 1);
        message[0] = k < TUBES ? 0x80 : 0x90;
        message[1] = static_cast<uint8_t>(k < TUBES ? previous[k] : next[k - TUBES]);
        message[2] = 100;
        end += sizeof(LV2_Atom_Event) + 8;
        sequence->atom.size += sizeof(LV2_Atom_Event) + 8;
    }
}

void BenchSession::copy_input()
{
    const uint64_t start = frames_ % TRACK_FRAMES;
    for (int i = 0; i < TUBES; ++i) {
        std::memcpy(inputs_[i].data(), track_[i].data() + start, block_ * sizeof(float));
    }
}
