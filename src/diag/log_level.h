#pragma once

#include <cstddef>
#include <cstdint>

// The log level that the start of the switch file gives. A file of any size
// may sit at the path, so instantiate reads only its first LEVEL_READ_BYTES
// bytes, in one read, and takes the level from them as the C library's "%d"
// would from the whole file: C-locale blanks, an optional sign, decimal
// digits, and a number beyond the range of long saturated to it, then cut to
// int as the library's conversion does. The conversion is exact whenever that
// first integer, blanks before it included, ends within LEVEL_PREFIX_BYTES.

inline constexpr size_t LEVEL_PREFIX_BYTES = 4096;
// One byte more than the prefix shows whether the integer ended inside it.
inline constexpr size_t LEVEL_READ_BYTES = LEVEL_PREFIX_BYTES + 1;

// A file that exists but does not start with an integer was still made to
// switch the log on: every line. A first integer that runs on past the prefix
// is taken the same way; nobody writes a level four kilobytes long.
inline constexpr int32_t LEVEL_WITHOUT_INTEGER = 1;

// `count` (at most LEVEL_READ_BYTES) is what the read gave: fewer than
// LEVEL_READ_BYTES means the file ends there.
int32_t level_from_prefix(const char* bytes, size_t count);
