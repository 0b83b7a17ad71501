#include "diag/debug_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

std::atomic<int32_t> log_level{0};

namespace {

// /tmp is writable by everyone, so what sits at LOG_PATH may be a link to
// another user's file, a named pipe whose open waits for a writer, a device
// or a socket. The log uses the path only when it names a regular file
// itself: a link is refused by the open (O_NOFOLLOW), nothing waits for a
// peer (O_NONBLOCK), a terminal never becomes the host's (O_NOCTTY), and the
// kind is checked on the descriptor that was opened, not by a look at the
// path that could change in between. Anything else counts as no file.
FILE* open_log_file(int access, const char* stream_mode)
{
    const int fd = open(LOG_PATH, access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, stream_mode);
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

}  // namespace

void read_log_level()
{
    FILE* file = open_log_file(O_RDONLY, "r");
    if (file == nullptr) {
        log_level.store(0, std::memory_order_relaxed);
        return;
    }
    int value = 0;
    // An empty file or one that does not start with an integer still means
    // "log on": the user created it to switch logging on.
    const int converted = std::fscanf(file, "%d", &value);
    log_level.store(converted == 1 ? value : 1, std::memory_order_relaxed);
    std::fclose(file);
    debug_log(0, "### log is active now ### ");
}

void debug_log(int32_t level, const char* format, ...)
{
    if (level > log_level.load(std::memory_order_relaxed)) {
        return;
    }
    // Created again, with the usual permissions, if it was deleted while
    // instances run; opened for reading too, as the "a+" stream always was.
    FILE* file = open_log_file(O_RDWR | O_APPEND | O_CREAT, "a+");
    if (file == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fputc('\n', file);
    std::fclose(file);
}
