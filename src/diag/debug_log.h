#pragma once

#include <atomic>
#include <cstdint>

// The diagnostic log. The file at LOG_PATH is both the switch and the sink:
// its presence at instantiate turns logging on, the integer at its start sets
// how much is written, and every message is appended to it. Only a regular
// file with one link, owned by the host's effective user, counts: a symbolic
// or hard link, another user's file, a named pipe, device, socket or
// directory at the path is taken as no file, both for the switch and for
// every message.

inline constexpr const char* LOG_PATH = "/tmp/ostrevan.log";

// Process-wide threshold shared by every instance. Written by instantiate on
// one thread while other instances read it in run on another, hence atomic;
// it orders nothing else, so relaxed accesses are enough.
extern std::atomic<int32_t> log_level;

// Sets log_level from the start of LOG_PATH (0 when no file that counts is
// there; see log_level.h for how the level is read) and announces an active
// log with the level-0 line.
void read_log_level();

// Appends one formatted line to LOG_PATH when level <= log_level, creating
// the file when nothing is there. Opens, writes and closes the file on every
// call, one write per line, so nothing outlives a message and lines from
// several instances interleave whole.
void debug_log(int32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
