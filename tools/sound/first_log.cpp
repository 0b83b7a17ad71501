#include "first_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "diag/debug_log.h"
#include "measurements.h"

namespace {

std::vector<std::string> lines_of(const char* path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

FirstLog capture_first_log(HostWorld& host)
{
    FirstLog log;
    // Under the launcher's fallback, a lock, the path is still the machine's:
    // a host creating an instance meanwhile would find the switch on.
    const char* isolation = std::getenv("OSTREVAN_LOG_ISOLATION");
    if (isolation == nullptr || std::string(isolation) != "private-tmp") {
        log.why_not = "not run in a /tmp of its own (tests/support/private_tmp.sh)";
        return log;
    }
    struct stat info;
    if (lstat(LOG_PATH, &info) == 0) {
        log.why_not = std::string("something is already at ") + LOG_PATH + ", left alone";
        return log;
    }
    // The switch: everything logged. Its own line is not the log's.
    std::ofstream(LOG_PATH) << "1\n";
    {
        TubeInstance instance(host, 48000.0);
        log.instantiate = lines_of(LOG_PATH);
        log.instantiate.erase(log.instantiate.begin());
        instance.run_silence(1);
        std::vector<std::string> all = lines_of(LOG_PATH);
        const size_t before_run = log.instantiate.size() + 1;
        log.first_run.assign(all.begin() + long(before_run), all.end());
        instance.run_silence(frames_for(SETTLE_S, instance.sample_rate()));
        const size_t before_glide = all.size();
        all = lines_of(LOG_PATH);
        log.glide_end.assign(all.begin() + long(before_glide), all.end());
        unlink(LOG_PATH);
    }
    // The level holds until the next instance reads the switch: this one
    // finds no file and leaves the log off for every measurement after.
    TubeInstance off(host, 48000.0);
    log.measured = true;
    return log;
}
