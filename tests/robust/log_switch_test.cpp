#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug_log.h"
#include "support/plugin_harness.h"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

// Odd things at the log file's path. The plain variants (absent, empty, "0",
// "-1", "abc", deleted while running) are the unit suite's; these are the
// ones a user's machine can still produce.

namespace {

std::string log_text()
{
    std::ifstream file(LOG_PATH, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), {});
}

// Whatever a test leaves at the path (file, directory, link, pipe) goes.
struct PathCleared {
    PathCleared() { clear(); }
    ~PathCleared() { clear(); }
    static void clear()
    {
        std::remove(LOG_PATH);  // a file, a link or a pipe; an empty directory too
    }
};

struct LevelCase {
    const char* name;
    const char* content;
    int32_t level;  // as the C library's "%d" reads it
};

// Numbers beyond the int range are undefined for "%d" in C; the C library
// of this platform (glibc) wraps them, as listed.
const LevelCase LEVEL_CASES[] = {
    {"LeadingBlanksAndPlus", "  \t+3\n", 3},
    {"LeadingNewlineAndMinus", "\n-2", -2},
    {"MinusZero", "-0", 0},
    {"DigitsThenLetters", "7abc", 7},
    {"HexadecimalReadsAsZero", "0x10", 0},
    {"BinaryGarbage", "\x01\x02\xff", 1},
    {"JustAboveIntRange", "2147483648", -2147483647 - 1},
    {"FourGigPlusOne", "4294967297", 1},
    {"FarBeyondLongRange", "99999999999999999999", -1},
};

class LogContent : public testing::TestWithParam<LevelCase> {};

TEST_P(LogContent, LevelAndLinesAsTheCLibraryReadsIt)
{
    const LevelCase& c = GetParam();
    PathCleared cleared;
    std::ofstream(LOG_PATH, std::ios::binary) << c.content;
    const size_t before = log_text().size();
    {
        PluginHarness host(48000.0, 64);
        EXPECT_EQ(log_level.load(), c.level);
    }
    // Level below 0: nothing; 0: the one level-0 line; 1 and up: it and the
    // eleven feedback lines.
    // Lines are counted by their newlines, as the file's own content need
    // not end with one.
    const size_t expected = c.level < 0 ? 0 : c.level == 0 ? 1 : 12;
    const std::string written = log_text().substr(before);
    EXPECT_EQ(static_cast<size_t>(std::count(written.begin(), written.end(), '\n')), expected);
}

INSTANTIATE_TEST_SUITE_P(BadInput, LogContent, testing::ValuesIn(LEVEL_CASES),
                         [](const testing::TestParamInfo<LevelCase>& info) {
                             return std::string(info.param.name);
                         });

// A directory opens for reading but yields no integer: level 1, and every
// line then fails to open for appending and is dropped.
TEST(LogPath, DirectoryTurnsTheLogOnButNothingIsWritten)
{
    PathCleared cleared;
    ASSERT_EQ(mkdir(LOG_PATH, 0755), 0);
    {
        PluginHarness host(48000.0, 256);
        EXPECT_EQ(log_level.load(), 1);
        host.control.note[0] = 50.0f;
        host.run(256);
    }
    struct stat info;
    ASSERT_EQ(stat(LOG_PATH, &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(rmdir(LOG_PATH), 0);  // still empty
}

TEST(LogPath, LinkToDevNullTurnsTheLogOnIntoNowhere)
{
    PathCleared cleared;
    ASSERT_EQ(symlink("/dev/null", LOG_PATH), 0);
    {
        PluginHarness host(48000.0, 256);
        EXPECT_EQ(log_level.load(), 1);
        host.control.note[0] = 50.0f;
        host.run(256);
    }
    struct stat info;
    ASSERT_EQ(lstat(LOG_PATH, &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
}

// Opening a named pipe for reading waits for a writer: instantiate blocks
// until some process opens the pipe to write, and reads the level from it.
TEST(LogPath, NamedPipeMakesInstantiateWaitForAWriter)
{
    PathCleared cleared;
    ASSERT_EQ(mkfifo(LOG_PATH, 0644), 0);
    std::atomic<bool> created{false};
    LV2_Handle handle = nullptr;
    std::thread host([&] {
        const LV2_Descriptor* d = lv2_descriptor(0);
        handle = d->instantiate(d, 48000.0, "", nullptr);
        created = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(created.load()) << "instantiate did not wait for the pipe";

    const int writer = open(LOG_PATH, O_WRONLY);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(write(writer, "1\n", 2), 2);
    close(writer);
    host.join();

    EXPECT_TRUE(created.load());
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(log_level.load(), 1);
    lv2_descriptor(0)->cleanup(handle);
}

}  // namespace
