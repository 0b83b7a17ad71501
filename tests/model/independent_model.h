// A second, deliberately plain implementation of one plug-in instance, written
// independently of src/ so that the two can be run side by side and compared
// bit for bit. It favours the obvious over the fast: one struct per tube, one
// function per step, every rounding exactly where the engine rounds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace model {

// Control values in the order of ports 8 to 15.
enum Control { NOTE_1, NOTE_2, NOTE_3, NOTE_4, TRANSPOSE, DECAY, LEVEL, DAMPING, CONTROL_COUNT };

struct Tube {
    float note, transpose, decay, damping_hz, level_db, gain;
    float damping_coef, damping_state, highpass_coef, highpass_state;
    float sample_rate, feedback, read_pos;
    uint64_t write_index;
    float decay_time;
    uint64_t length, glide_target, pending_length;
    bool gliding;
    float read_speed, write_gain, lfo_depth, lfo_step, lfo_phase, integ;
    float delay[6005];
    float in_hist[4];
    float phases[4];
};

class Instance {
public:
    // log_file: the content of the log file at instantiation, or nullptr when
    // there is none. The lines the plug-in would append go to log_lines().
    Instance(double host_rate, const char* log_file);

    // Takes up the controls, then processes n frames. in and out are separate
    // buffers: what a host handing in aliased buffers must also get.
    void run(const float (&controls)[CONTROL_COUNT], const float* const in[4], float* const out[4],
             uint32_t n);

    const Tube& tube(int i) const { return tubes_[i]; }
    const std::vector<std::string>& log_lines() const { return log_; }

private:
    void log_feedback(float feedback, uint64_t length);
    void set_note(Tube& t, float v);
    void set_transpose(Tube& t, float v);
    void set_decay(Tube& t, float v);
    void set_level(Tube& t, float v);
    void set_damping(Tube& t, float v);
    void retune(Tube& t);
    void glide_update(Tube& t);
    float sub_step(Tube& t, float phase);
    float frame(Tube& t, float input);

    int log_level_ = 0;
    std::vector<std::string> log_;
    std::vector<Tube> tubes_;  // heap: four delay lines are ~96 kB
    float cache_[CONTROL_COUNT];
};

}  // namespace model
