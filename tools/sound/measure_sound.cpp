// Measures how the tubes sound through the built plug-in, as a host sees
// it, and writes the tables under docs/ and the data the plots are drawn
// from. tools/measure-sound builds and runs it, then draws the plots.
//
//   measure_sound DOCS_DIR DATA_DIR     (LV2_PATH leads to the bundle)

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
    const FpModeChange mode = measure_load_mode(host);

    std::vector<std::string> written;
    const auto add = [&](const std::vector<std::string>& files) {
        written.insert(written.end(), files.begin(), files.end());
    };
    add(write_tuning(report, measure_tuning(host)));
    add(write_decay(report, measure_decay(host)));
    add(write_presets(report, measure_presets(host)));
    double hit_rate = 0.0;
    const std::vector<float> hit = startup_hit(host, hit_rate);
    add(write_behaviour(report, measure_polarity(host), measure_startup(host), hit, hit_rate,
                        mode));
    for (const auto& file : written) std::printf("wrote %s\n", file.c_str());
    return 0;
}
