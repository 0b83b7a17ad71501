#pragma once

#include <sys/types.h>

// Whether what an open of the log path gave may be read as the switch or
// written with a line, judged from the descriptor's own status. Only a
// regular file counts (a device, pipe or socket is no log), with a single
// name (a hard link in /tmp could be another file of any user on the same
// file system, appended to by a host running as root), and owned by the
// effective user of the host process (another user's file is theirs to keep).
bool accepts_log_file(mode_t mode, nlink_t links, uid_t owner, uid_t user);
