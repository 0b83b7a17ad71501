#pragma once

#include <string>
#include <vector>

#include "tube_host.h"

// The diagnostic log's first lines: what a new instance writes when the log
// is on, in instantiate, in its first run, and in the half second after.
struct FirstLog {
    bool measured = false;
    std::string why_not;  // when not measured
    std::vector<std::string> instantiate, first_run, glide_end;
};
// Only in a /tmp of the measurement's own (tests/support/private_tmp.sh,
// when it could mount one): the switch file is created, read back and
// removed, and a file already there is never touched.
FirstLog capture_first_log(HostWorld& host);
