#include "diag/debug_log.h"

#include <cstdarg>
#include <cstdio>

std::atomic<int32_t> log_level{0};

void read_log_level()
{
    FILE* file = std::fopen(LOG_PATH, "r");
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
    // "a+" recreates the file if it was deleted while instances run.
    FILE* file = std::fopen(LOG_PATH, "a+");
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
