// Two built libraries of the plug-in, played the same random sessions side by
// side, every output sample compared bit for bit: how a faster engine is
// shown to give what the engine that landed gave.
//
//   output_diff --plugin a=A.so --plugin b=B.so [--log LOCALE] [SESSIONS [FRAMES]]
//
// Each session runs at its own rate with controls moving every few runs (NaN,
// infinite and out-of-range values among them), noise bursts with now and
// then a NaN sample, and blocks of 0 to 8192 frames. Prints what it compared
// and exits 1 on any difference.
//
// With --log, the log is switched on (level 1, every line) and the bytes each
// library appends to it, in every instantiate and every run, are compared as
// well, with the C library's locale set to LOCALE (the decimal separator of
// "%f" follows it). The log file's path is fixed in /tmp: run it in a /tmp of
// its own (tests/support/private_tmp.sh), as tools/diff-against does.

#include <lv2/core/lv2.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "plugin/ports.h"
#include "plugin_loader.h"

namespace {

constexpr uint32_t MAX_BLOCK = 8192;
const char* const LOG_PATH = "/tmp/ostrevan.log";

// What the libraries have appended to the log file since the last call.
class LogTail {
public:
    std::string next()
    {
        std::ifstream file(LOG_PATH, std::ios::binary);
        file.seekg(static_cast<std::streamoff>(read_));
        std::string added((std::istreambuf_iterator<char>(file)), {});
        read_ += added.size();
        return added;
    }

private:
    size_t read_ = 0;
};

// The bytes one call of each library added, compared; counts what it saw.
struct LogComparison {
    bool on = false;
    LogTail tail;
    long lines = 0;
    long differing_calls = 0;

    void compare(const std::string& first, const std::string& second, int session, long frame)
    {
        for (const char c : first) lines += c == '\n';
        if (first != second && differing_calls++ < 5) {
            std::fprintf(stderr, "session %d, frame %ld: log lines differ:\n%s---\n%s", session,
                         frame, first.c_str(), second.c_str());
        }
    }
};

struct Instance {
    const LV2_Descriptor* d;
    LV2_Handle handle;
    std::vector<float> in[4], out[4];
    // The four-channel plug-in's controls in port order from note_1, at the
    // table's defaults.
    float controls[PORT_COUNT - PORT_NOTE_1];

    Instance(const LV2_Descriptor* descriptor, double rate)
        : d(descriptor), handle(d->instantiate(d, rate, "", nullptr))
    {
        for (uint32_t i = 0; i < 4; ++i) {
            in[i].assign(MAX_BLOCK, 0.0f);
            out[i].assign(MAX_BLOCK, 0.0f);
            d->connect_port(handle, i, in[i].data());
            d->connect_port(handle, 4 + i, out[i].data());
        }
        for (uint32_t port = PORT_NOTE_1; port < PORT_COUNT; ++port) {
            controls[port - PORT_NOTE_1] = CONTROLS[FOUR_PORTS[port].slot].default_value;
            d->connect_port(handle, port, &controls[port - PORT_NOTE_1]);
        }
        d->activate(handle);
    }
    ~Instance() { d->cleanup(handle); }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
};

float random_control(std::mt19937& rng, int control)
{
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    if (rng() % 15 == 0) {
        const float odd[] = {NAN, INFINITY, -INFINITY, 0.0f, -5.0f, 1e30f};
        return odd[rng() % 6];
    }
    switch (control) {
    case 4:
        return std::round(unit(rng) * 48.0f - 24.0f);
    case 5:
        return 10.0f * std::pow(1000.0f, unit(rng));
    case 6:
        return unit(rng) * 72.0f - 60.0f;
    case 7:
        return 100.0f * std::pow(200.0f, unit(rng));
    default:
        return std::round(unit(rng) * 70.0f + 20.0f);
    }
}

// Shows which decimal separator the locale gave the lines.
std::string decimal_sample()
{
    char text[32];
    std::snprintf(text, sizeof text, "%f", 0.5);
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<PluginUnderTest> plugins = load_plugins(argc, argv, PLUGIN_LIBRARY);
    if (plugins.size() != 2) {
        std::fprintf(stderr, "output_diff: give exactly two --plugin NAME=PATH\n");
        return 2;
    }
    LogComparison log;
    const char* locale = "C";
    if (argc > 2 && std::strcmp(argv[1], "--log") == 0) {
        locale = argv[2];
        log.on = true;
        if (std::setlocale(LC_ALL, locale) == nullptr) {
            std::fprintf(stderr, "output_diff: no locale %s here\n", locale);
            return 2;
        }
        std::remove(LOG_PATH);
        std::ofstream(LOG_PATH, std::ios::binary) << "1";
        log.tail.next();
        argv += 2;
        argc -= 2;
    }
    const int sessions = argc > 1 ? std::atoi(argv[1]) : 12;
    const long frames = argc > 2 ? std::atol(argv[2]) : 400000;
    const double rates[] = {48000.0, 44100.0, 96000.0, 22050.5, 8000.0, 192000.0};
    const uint32_t blocks[] = {0, 1, 7, 16, 17, 64, 100, 256, 1024, 4096, MAX_BLOCK};

    long samples = 0;
    long differing_runs = 0;
    for (int session = 0; session < sessions; ++session) {
        std::mt19937 rng(500 + session);
        std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
        const double rate = rates[session % 6];
        Instance a(plugins[0].descriptor, rate);
        const std::string a_made = log.on ? log.tail.next() : std::string();
        Instance b(plugins[1].descriptor, rate);
        if (log.on) log.compare(a_made, log.tail.next(), session, 0);
        int burst = 0;
        for (long done = 0; done < frames;) {
            if (rng() % 3 == 0) {
                const int c = static_cast<int>(rng() % 8);
                a.controls[c] = b.controls[c] = random_control(rng, c);
            }
            const uint32_t n = blocks[rng() % (sizeof blocks / sizeof blocks[0])];
            for (int i = 0; i < 4; ++i) {
                for (uint32_t f = 0; f < n; ++f) {
                    if (burst == 0 && rng() % 5000 == 0) burst = 300;
                    float v = burst > 0 ? noise(rng) : 0.0f;
                    burst -= burst > 0;
                    if (rng() % 20000 == 0) v = NAN;
                    a.in[i][f] = b.in[i][f] = v;
                }
            }
            a.d->run(a.handle, n);
            const std::string a_logged = log.on ? log.tail.next() : std::string();
            b.d->run(b.handle, n);
            if (log.on) log.compare(a_logged, log.tail.next(), session, done);
            for (int i = 0; i < 4; ++i) {
                samples += n;
                if (std::memcmp(a.out[i].data(), b.out[i].data(), n * sizeof(float)) != 0) {
                    if (differing_runs++ < 5) {
                        std::fprintf(stderr, "session %d, frame %ld, tube %d: outputs differ\n",
                                     session, done, i + 1);
                    }
                }
            }
            done += n;
        }
    }
    std::printf("%s against %s: %ld output samples compared, %ld runs with a difference\n",
                plugins[1].name.c_str(), plugins[0].name.c_str(), samples, differing_runs);
    if (log.on) {
        std::printf("%s against %s: %ld log lines compared (locale %s, \"%%f\" of 0.5 reads "
                    "\"%s\"), %ld calls with a difference\n",
                    plugins[1].name.c_str(), plugins[0].name.c_str(), log.lines, locale,
                    decimal_sample().c_str(), log.differing_calls);
        std::remove(LOG_PATH);
    }
    return differing_runs == 0 && log.differing_calls == 0 ? 0 : 1;
}
