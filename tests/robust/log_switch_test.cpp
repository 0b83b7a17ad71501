#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <ostream>
#include <string>
#include <thread>

#include "diag/debug_log.h"
#include "log_path_kinds.h"

// glibc's lock on its list of all streams, which fopen, fdopen, fclose and
// fflush(NULL) take; exported by the library for its own use across objects.
extern "C" void _IO_list_lock() noexcept;
extern "C" void _IO_list_unlock() noexcept;
#include "support/plugin_harness.h"

// Names the kind in test listings and failures.
void PrintTo(PathKind kind, std::ostream* out)
{
    *out << path_kind_name(kind);
}

// Odd things at the log file's path. The plain variants (absent, empty, "0",
// "-1", "abc", deleted while running) are the unit suite's; these are the
// ones a user's machine can still produce, or anyone who can write to /tmp.

namespace {

// The file's content; empty when the path holds no regular file, which the
// test's own reading must not wait on either.
std::string log_text()
{
    struct stat info;
    if (lstat(LOG_PATH, &info) != 0 || !S_ISREG(info.st_mode)) {
        return "";
    }
    std::ifstream file(LOG_PATH, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), {});
}

// Whatever a test leaves at the path (file, directory, link, pipe) goes.
struct PathCleared {
    PathCleared() { clear(); }
    ~PathCleared() { clear(); }
    static void clear() { clear_log_path(); }
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

// Something run on another thread that must end without waiting on anything
// at the path. When it does wait (a pipe's open, the fault this guards
// against), the test fails and releases it, so that the suite still ends.
bool finishes_without_waiting(const std::function<void()>& work)
{
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread worker([&] {
        work();
        done.set_value();
    });
    const bool in_time = finished.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        ThingAtLogPath::release_waiters();
    }
    worker.join();
    return in_time;
}

std::string kind_name(const testing::TestParamInfo<PathKind>& info)
{
    return path_kind_name(info.param);
}

const PathKind ALL_KINDS[] = {
    PathKind::REGULAR,       PathKind::EMPTY,
    PathKind::MISSING,       PathKind::LINK_TO_FILE,
    PathKind::DANGLING_LINK, PathKind::LINK_TO_DEV_NULL,
    PathKind::PIPE,          PathKind::PIPE_WITH_READER,
    PathKind::DIRECTORY,     PathKind::SOCKET,
    PathKind::DEVICE,        PathKind::HARD_LINK,
    PathKind::OTHER_USERS_FILE,
};

// Only a regular file at the path itself, with no other name and owned by
// this process's user, switches the log on; anything else is no file, is
// never waited on and is left exactly as it was.
class SwitchAt : public testing::TestWithParam<PathKind> {};

TEST_P(SwitchAt, OnlyARegularFileTurnsTheLogOn)
{
    const PathKind kind = GetParam();
    ThingAtLogPath thing(kind);
    if (!thing.not_placed().empty()) {
        GTEST_SKIP() << "this machine does not allow it: " << thing.not_placed();
    }
    const size_t before = log_text().size();
    int32_t level = -100;
    EXPECT_TRUE(finishes_without_waiting([&] {
        PluginHarness host(48000.0, 64);
        level = log_level.load();
    })) << "instantiate waited";

    if (counts_as_log_file(kind)) {
        EXPECT_EQ(level, 1);
        const std::string written = log_text().substr(before);
        EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 12);
    } else {
        EXPECT_EQ(level, 0);
        EXPECT_EQ(thing.disturbance(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SwitchAt, testing::ValuesIn(ALL_KINDS), kind_name);

// The log is on; then the file is replaced by something else. Every line
// goes only into a regular file at the path itself, one made anew when
// nothing is there, and never waits.
class LinesInto : public testing::TestWithParam<PathKind> {};

TEST_P(LinesInto, OnlyARegularFileReceivesLines)
{
    const PathKind kind = GetParam();
    std::ofstream(LOG_PATH, std::ios::binary) << "1";
    PluginHarness host(48000.0, 64);
    ASSERT_EQ(log_level.load(), 1);

    host.run(0);  // the first run's own lines go to the first file

    ThingAtLogPath thing(kind);
    if (!thing.not_placed().empty()) {
        GTEST_SKIP() << "this machine does not allow it: " << thing.not_placed();
    }
    const std::string before = log_text();
    EXPECT_TRUE(finishes_without_waiting([&] {
        host.control.decay = 200.0f;  // one line per tube
        host.run(0);
    })) << "run waited";

    if (counts_as_log_file(kind) || kind == PathKind::MISSING) {
        struct stat info;
        ASSERT_EQ(lstat(LOG_PATH, &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        std::string expected = before;
        for (int tube = 0; tube < TUBE_COUNT; ++tube) {
            expected += "fdbk: -0.582942 sz: 3000\n";
        }
        EXPECT_EQ(log_text(), expected);
        if (kind == PathKind::MISSING) {
            const mode_t mask = umask(0);
            umask(mask);
            EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask) << "a new file's permissions";
        }
    } else {
        EXPECT_EQ(thing.disturbance(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LinesInto, testing::ValuesIn(ALL_KINDS), kind_name);

// A host's other threads open, close and flush streams at any time, and the
// C library serialises all of that on one lock. With the log on, neither a
// new instance nor run may wait for it: another thread holds it here for as
// long as the test allows, and both must finish, with every line written.
TEST(StreamListLock, HeldElsewhereDelaysNeitherInstantiateNorRunWithTheLogOn)
{
    PathCleared cleared;
    std::ofstream(LOG_PATH, std::ios::binary) << "1";
    std::promise<void> locked;
    std::promise<void> release;
    std::thread holder([&] {
        _IO_list_lock();
        locked.set_value();
        release.get_future().wait();
        _IO_list_unlock();
    });
    locked.get_future().wait();

    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread host_thread([&] {
        PluginHarness host(48000.0, 64);
        host.control.decay = 200.0f;  // one line per tube
        host.run(64);
        done.set_value();
    });
    const bool in_time = finished.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    release.set_value();
    holder.join();
    host_thread.join();

    EXPECT_TRUE(in_time) << "instantiate or run waited for the C library's stream lock";
    const std::string written = log_text();
    // "1", then the level-0 line and eleven of instantiate, four of the first
    // run's transpose take-up and four of the decay change.
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 20) << written;
}

}  // namespace
