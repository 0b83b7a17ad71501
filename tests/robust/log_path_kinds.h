#pragma once

#include <string>

// The kinds of thing anyone can leave at the log file's path in a directory
// writable by everyone, each placed so that a test can tell afterwards
// whether the plug-in read from it, wrote into it or waited on it.

enum class PathKind {
    REGULAR,           // a file holding "1": the switch, level 1
    EMPTY,             // an empty file: the switch, level 1
    MISSING,           // nothing
    LINK_TO_FILE,      // a symbolic link to a regular file holding "1"
    DANGLING_LINK,     // a symbolic link to a name where nothing is
    LINK_TO_DEV_NULL,  // a symbolic link to a device
    PIPE,              // a named pipe nobody reads
    PIPE_WITH_READER,  // a named pipe this process holds open for reading
    DIRECTORY,         // an empty directory
    SOCKET,            // a listening local socket
    DEVICE,            // a device node: the zero device, which opens and reads
    HARD_LINK,         // a second name of a regular file holding "1"
    OTHER_USERS_FILE,  // a regular file holding "1" that another user owns
};

const char* path_kind_name(PathKind kind);

// Whether the log takes this kind as its file.
bool counts_as_log_file(PathKind kind);

// Puts one thing of a kind at LOG_PATH, after clearing the path, and takes it
// and whatever it needed away again at the end.
class ThingAtLogPath {
public:
    explicit ThingAtLogPath(PathKind kind);
    ~ThingAtLogPath();
    ThingAtLogPath(const ThingAtLogPath&) = delete;
    ThingAtLogPath& operator=(const ThingAtLogPath&) = delete;

    // Empty when the thing is in place, else why this machine does not allow
    // it (a device node, or a file given to another user, needs rights that
    // a user namespace does not give).
    const std::string& not_placed() const { return not_placed_; }

    // How the thing differs from when it was placed: its kind at the path,
    // a link's target, what a reader or a listener received. Empty when it is
    // untouched. Not meaningful for the kinds that count as the log file.
    std::string disturbance() const;

    // Releases whatever an open of the path may be waiting for (a pipe's
    // other end), so that a test that caught a wait can still end.
    static void release_waiters();

private:
    PathKind kind_;
    std::string not_placed_;
    int held_ = -1;  // the pipe's read end, the listening socket
};

// Removes whatever is at LOG_PATH: file, link, pipe, socket, device node or
// empty directory.
void clear_log_path();
