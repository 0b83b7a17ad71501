#include "diag/debug_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "diag/log_file.h"
#include "diag/log_level.h"

std::atomic<int32_t> log_level{0};

namespace {

// Longer than any line the plug-in writes; a longer one is cut short and
// still ends with its newline.
constexpr size_t LINE_BYTES = 512;

// /tmp is writable by everyone, so what sits at LOG_PATH may be a link to
// another user's file, a named pipe whose open waits for a writer, a device
// or a socket. The log uses the path only when it names a file of the host's
// own user itself: a link is refused by the open (O_NOFOLLOW), nothing waits
// for a peer (O_NONBLOCK), a terminal never becomes the host's (O_NOCTTY),
// and what was opened is judged on the descriptor (accepts_log_file), not by
// a look at the path that could change in between. Anything else counts as
// no file.
int open_log_file(int access)
{
    const int fd = open(LOG_PATH, access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 ||
        !accepts_log_file(info.st_mode, info.st_nlink, info.st_uid, geteuid())) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// The file is read with one bounded read into the stack, never through a C
// stream: the stream would keep every digit of a file of any size, and its
// creation takes the C library's lock on the list of all streams, which the
// host's own threads hold whenever they open, close or flush one.
void read_log_level()
{
    const int fd = open_log_file(O_RDONLY);
    if (fd < 0) {
        log_level.store(0, std::memory_order_relaxed);
        return;
    }
    char prefix[LEVEL_READ_BYTES];
    const ssize_t count = read(fd, prefix, sizeof prefix);
    close(fd);
    // A file that cannot be read is still there: the user made it to turn
    // the log on.
    log_level.store(count < 0 ? LEVEL_WITHOUT_INTEGER
                              : level_from_prefix(prefix, static_cast<size_t>(count)),
                    std::memory_order_relaxed);
    debug_log(0, "### log is active now ### ");
}

// Called from run: the line is formatted on the stack (vsnprintf makes no
// stream and takes no lock, and follows the thread's locale as the stream's
// vfprintf did) and appended with a single write, so no allocation and no
// lock shared with the host stands between the audio thread and the file,
// and lines from several instances interleave whole.
void debug_log(int32_t level, const char* format, ...)
{
    if (level > log_level.load(std::memory_order_relaxed)) {
        return;
    }
    char line[LINE_BYTES];
    va_list args;
    va_start(args, format);
    const int formatted = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (formatted < 0) {
        return;
    }
    size_t length = static_cast<size_t>(formatted);
    if (length > sizeof line - 2) {
        length = sizeof line - 2;
    }
    line[length++] = '\n';

    // Created again, with the usual permissions, if it was deleted while
    // instances run; opened for reading too, as the log always was.
    const int fd = open_log_file(O_RDWR | O_APPEND | O_CREAT);
    if (fd < 0) {
        return;
    }
    // A short write (a full disk) loses the rest of the line: a second write
    // could land after another instance's line.
    (void)!write(fd, line, length);
    close(fd);
}
