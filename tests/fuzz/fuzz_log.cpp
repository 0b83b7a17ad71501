// libFuzzer target: the log path while instances come and go. Between calls
// the input puts one kind of thing at the path (a file with content of its
// own, nothing, a symbolic or hard link, a pipe with or without a reader, a
// directory, a socket, a device, another user's file), and instances are
// made, retuned and run. Run only in a /tmp of its own (tools/fuzz gives it
// one): it owns the path.
//
// Checked after every call:
//   - instantiate took the level from the file as the switch is read, when
//     the path held a file that counts, and 0 otherwise;
//   - a thing that is no log file is as it was placed: a link's target
//     unchanged, a pipe's reader given nothing, the directory empty, another
//     user's file untouched;
//   - a file that counts only grew, by whole log lines;
//   - nothing waited (a wait is caught by libFuzzer's -timeout).

#include <lv2/core/lv2.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "diag/debug_log.h"
#include "diag/log_level.h"
#include "engine/tube.h"
#include "log_path_kinds.h"
#include "plugin/ports.h"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace {

constexpr int KINDS = static_cast<int>(PathKind::OTHER_USERS_FILE) + 1;
constexpr int SLOTS = 2;
constexpr uint32_t MAX_FRAMES = 32;
constexpr int CONTROLS = PORT_COUNT - PORT_NOTE_1;

[[noreturn]] void broken(const std::string& what)
{
    std::fprintf(stderr, "log path: %s\n", what.c_str());
    std::abort();
}

// Front-to-back reader; past the end every read gives 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return position_ >= size_; }
    uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    std::string bytes(size_t count)
    {
        std::string got;
        while (count-- > 0 && !done()) got += static_cast<char>(byte());
        return got;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

bool regular_at_path()
{
    struct stat info;
    return lstat(LOG_PATH, &info) == 0 && S_ISREG(info.st_mode);
}

std::string file_text()
{
    std::ifstream file(LOG_PATH, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), {});
}

// One of the two lines the plug-in writes: "### log is active now ### " or
// "fdbk: F sz: N" with F as "%f" prints a float and N as "%d" an int.
bool is_log_line(const std::string& line)
{
    if (line == "### log is active now ### ") return true;
    const std::string head = "fdbk: ";
    const size_t sz = line.find(" sz: ");
    if (line.compare(0, head.size(), head) != 0 || sz == std::string::npos) return false;
    const std::string feedback = line.substr(head.size(), sz - head.size());
    const std::string length = line.substr(sz + 5);
    if (feedback == "nan" || feedback == "-nan") return !length.empty();
    const size_t point = feedback.find('.');
    if (point == std::string::npos || feedback.size() - point != 7) return false;
    for (size_t i = 0; i < feedback.size(); ++i) {
        const char c = feedback[i];
        if (!(c >= '0' && c <= '9') && i != point && !(i == 0 && c == '-')) return false;
    }
    for (size_t i = 0; i < length.size(); ++i) {
        const char c = length[i];
        if (!(c >= '0' && c <= '9') && !(i == 0 && c == '-')) return false;
    }
    return !length.empty();
}

class Lifetime {
public:
    Lifetime() : d_(lv2_descriptor(0))
    {
        for (int c = 0; c < CONTROLS; ++c) {
            const float defaults[CONTROLS] = {60, 64, 67, 72, 0, 100, 0, 12000};
            controls_[c] = defaults[c];
        }
        place(PathKind::MISSING, "");
    }

    ~Lifetime()
    {
        for (LV2_Handle& h : slots_) {
            if (h != nullptr) d_->cleanup(h);
        }
    }

    void step(Input& in)
    {
        switch (in.byte() % 5) {
        case 0: {
            const auto kind = static_cast<PathKind>(in.byte() % KINDS);
            place(kind, kind == PathKind::REGULAR ? in.bytes(in.byte() % 24) : "");
            break;
        }
        case 1:
            make(in.byte() % SLOTS);
            break;
        case 2: {
            const int slot = in.byte() % SLOTS;
            const int control = in.byte() % CONTROLS;
            controls_[control] = control == PORT_DECAY - PORT_NOTE_1
                                     ? 10.0f + static_cast<float>(in.byte()) * 4.0f
                                     : 40.0f + static_cast<float>(in.byte() % 48);
            run(slot, in.byte() % (MAX_FRAMES + 1));
            break;
        }
        case 3:
            run(in.byte() % SLOTS, 0);
            break;
        case 4:
            place(PathKind::MISSING, "");
            break;
        }
        check();
    }

private:
    void place(PathKind kind, const std::string& content)
    {
        thing_.reset();
        thing_ = std::make_unique<ThingAtLogPath>(kind);
        kind_ = kind;
        if (!thing_->not_placed().empty()) {
            thing_.reset();
            thing_ = std::make_unique<ThingAtLogPath>(PathKind::MISSING);
            kind_ = PathKind::MISSING;
        }
        if (kind_ == PathKind::REGULAR) {
            std::ofstream(LOG_PATH, std::ios::binary | std::ios::trunc) << content;
        }
        known_ = regular_at_path() ? file_text() : "";
    }

    // The level the switch gives, from what the test knows the path holds.
    int32_t expected_level() const
    {
        if (!(counts_as_log_file(kind_) || (kind_ == PathKind::MISSING && regular_at_path()))) {
            return 0;
        }
        return level_from_prefix(known_.data(),
                                 known_.size() < LEVEL_READ_BYTES ? known_.size()
                                                                  : LEVEL_READ_BYTES);
    }

    void make(int slot)
    {
        if (slots_[slot] != nullptr) d_->cleanup(slots_[slot]);
        const int32_t expected = expected_level();
        slots_[slot] = d_->instantiate(d_, 48000.0, "", nullptr);
        if (slots_[slot] == nullptr) broken("instantiate gave no instance");
        if (log_level.load() != expected) {
            broken("level " + std::to_string(log_level.load()) + ", expected " +
                   std::to_string(expected));
        }
        for (uint32_t port = 0; port < uint32_t{TUBE_COUNT}; ++port) {
            d_->connect_port(slots_[slot], PORT_IN_1 + port, audio_);
            d_->connect_port(slots_[slot], PORT_OUT_1 + port, out_[port]);
        }
        for (int c = 0; c < CONTROLS; ++c) {
            d_->connect_port(slots_[slot], PORT_NOTE_1 + c, &controls_[c]);
        }
        d_->activate(slots_[slot]);
    }

    void run(int slot, uint32_t frames)
    {
        if (slots_[slot] != nullptr) d_->run(slots_[slot], frames);
    }

    void check()
    {
        if (!counts_as_log_file(kind_) && kind_ != PathKind::MISSING) {
            const std::string found = thing_->disturbance();
            if (!found.empty()) broken(std::string(path_kind_name(kind_)) + ": " + found);
            return;
        }
        if (!regular_at_path()) {
            if (counts_as_log_file(kind_)) broken("the log file went away");
            return;
        }
        const std::string now = file_text();
        if (now.compare(0, known_.size(), known_) != 0) broken("the file changed before its end");
        size_t start = known_.size();
        for (size_t end; (end = now.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string line = now.substr(start, end - start);
            if (!is_log_line(line)) broken("not a whole log line: \"" + line + "\"");
        }
        if (start != now.size()) broken("a line without its end");
        known_ = now;
    }

    const LV2_Descriptor* d_;
    LV2_Handle slots_[SLOTS] = {nullptr, nullptr};
    std::unique_ptr<ThingAtLogPath> thing_;
    PathKind kind_ = PathKind::MISSING;
    std::string known_;
    float controls_[CONTROLS];
    float audio_[MAX_FRAMES] = {};
    float out_[TUBE_COUNT][MAX_FRAMES];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    {
        Lifetime lifetime;
        while (!in.done()) {
            lifetime.step(in);
        }
    }
    clear_log_path();
    return 0;
}
