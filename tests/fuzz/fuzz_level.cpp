// libFuzzer target: the level read from the start of the log switch file,
// against the C library's "%d" over the whole input. Where the integer "%d"
// reads (blanks before it included) ends within the prefix instantiate reads,
// the levels must be equal; where it runs on past it, the level is the one
// documented for that case. Inputs longer than the prefix are the point:
// run with -max_len above LEVEL_READ_BYTES.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "diag/log_level.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // fmemopen wants a buffer it may treat as its own; a copy keeps the
    // fuzzer's input untouched.
    char* copy = static_cast<char*>(std::malloc(size + 1));
    for (size_t i = 0; i < size; ++i) {
        copy[i] = static_cast<char>(data[i]);
    }
    FILE* file = fmemopen(copy, size, "r");
    if (file == nullptr) {
        std::abort();
    }
    int value = 0;
    int consumed = 0;
    const int converted = std::fscanf(file, "%d%n", &value, &consumed);
    std::fclose(file);

    const size_t count = size < LEVEL_READ_BYTES ? size : LEVEL_READ_BYTES;
    const int32_t level = level_from_prefix(copy, count);
    std::free(copy);

    int32_t expected = converted == 1 ? value : LEVEL_WITHOUT_INTEGER;
    if (converted == 1 && static_cast<size_t>(consumed) > LEVEL_PREFIX_BYTES) {
        expected = LEVEL_WITHOUT_INTEGER;
    }
    if (level != expected) {
        std::fprintf(stderr, "level %d from the prefix, expected %d (%%d read %d, %d bytes)\n",
                     level, expected, value, consumed);
        std::abort();
    }
    return 0;
}
