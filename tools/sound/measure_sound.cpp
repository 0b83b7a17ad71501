// Measures how the tubes sound through the built plug-in, as a host sees
// it, and writes the tables under docs/ and the data the plots are drawn
// from. tools/measure-sound builds and runs it, then draws the plots.
//
//   measure_sound DOCS_DIR DATA_DIR     (LV2_PATH leads to the bundle)

#include <cmath>
#include <cstdio>
#include <string>

#include "measurements.h"
#include "report.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DOCS_DIR DATA_DIR\n", argv[0]);
        return 2;
    }
    const Report report{argv[1], argv[2]};
    HostWorld host;
    if (host.plugin() == nullptr) {
        std::fprintf(stderr, "the plug-in is not on LV2_PATH\n");
        return 1;
    }
    std::printf("measuring %s\n", host.library_path().c_str());

    // First: nothing may have loaded the library before.
    Behaviour behaviour;
    behaviour.mode = measure_load_mode(host);
    // Next, so that the log is off again for every measurement after.
    behaviour.first_log = capture_first_log(host);

    std::vector<std::string> written;
    const auto add = [&](const std::vector<std::string>& files) {
        written.insert(written.end(), files.begin(), files.end());
    };
    add(write_tuning(report, measure_tuning(host), measure_glide_ends(host),
                     measure_weak_lowest(host)));
    // After the tuning tables, whose page it continues.
    add(write_companion_tuning(report, measure_companion_tuning(host)));
    add(write_decay(report, measure_decay(host)));
    add(write_presets(report, measure_presets(host)));

    behaviour.vibrato = measure_vibrato(host);
    behaviour.splits = measure_partial_split(host);
    // Hits one period of the movement apart, at 48 kHz, sound alike.
    double period_s = NAN;
    for (const auto& at : behaviour.vibrato) {
        if (at.sample_rate == 48000.0) period_s = at.tubes.front().fit.period_s;
    }
    behaviour.hit_pairs = measure_hit_pairs(host, period_s);
    behaviour.polarity = measure_polarity(host);
    behaviour.preset_changes = measure_preset_changes(host);
    behaviour.glide_times = measure_glide_times(host);
    behaviour.startup = measure_startup(host);
    behaviour.startup_hit = startup_hit(host, behaviour.startup_hit_rate);
    behaviour.clip = measure_soft_clip(host);
    add(write_behaviour(report, behaviour));
    for (const auto& file : written) std::printf("wrote %s\n", file.c_str());
    return 0;
}
