#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "diag/debug_log.h"
#include "support/plugin_harness.h"

namespace {

using Lines = std::vector<std::string>;

const std::string ACTIVE = "### log is active now ### ";

// What a new instance writes at a level of 1 or more: per tube the first
// retune (NaN, as nothing is tuned yet) and the default decay, then the
// default notes of tubes 2 to 4.
const Lines INSTANTIATE_LINES = {
    ACTIVE,
    "fdbk: nan sz: 3000",
    "fdbk: -0.339821 sz: 3000",
    "fdbk: nan sz: 3000",
    "fdbk: -0.339821 sz: 3000",
    "fdbk: nan sz: 3000",
    "fdbk: -0.339821 sz: 3000",
    "fdbk: nan sz: 3000",
    "fdbk: -0.339821 sz: 3000",
    "fdbk: 0.339821 sz: 3000",
    "fdbk: 0.339821 sz: 3000",
    "fdbk: 0.339821 sz: 3000",
};

std::string read_log_text()
{
    std::ifstream file(LOG_PATH);
    return std::string((std::istreambuf_iterator<char>(file)), {});
}

bool log_exists()
{
    std::ifstream file(LOG_PATH);
    return file.good();
}

Lines tail_from(const Lines& lines, size_t start)
{
    return Lines(lines.begin() + static_cast<long>(std::min(start, lines.size())), lines.end());
}

}  // namespace

TEST(Log, WithoutTheFileNothingIsWritten)
{
    LogFileGuard log;
    {
        PluginHarness h(48000.0);
        h.run(16000);
        h.control.decay = 300.0f;
        h.run(100);
    }
    EXPECT_FALSE(log_exists());
    EXPECT_EQ(log_level.load(), 0);
}

TEST(Log, EmptyFileSwitchesOnEveryLine)
{
    LogFileGuard log;
    log.create("");
    PluginHarness h(48000.0);
    EXPECT_EQ(read_log_lines(), INSTANTIATE_LINES);

    h.run(0);
    const Lines first_run(4, "fdbk: 0.339821 sz: 3000");
    EXPECT_EQ(tail_from(read_log_lines(), INSTANTIATE_LINES.size()), first_run);

    const size_t before = read_log_lines().size();
    h.run(0);  // nothing changed, nothing logged
    EXPECT_EQ(read_log_lines().size(), before);

    // Later instantiates still find no integer at the start: level 1 again.
    PluginHarness second(48000.0);
    EXPECT_EQ(log_level.load(), 1);
}

TEST(Log, LevelComesFromTheLeadingInteger)
{
    struct Case {
        const char* content;
        int level;
        long lines_added;  // by one instantiate
    };
    const Case cases[] = {
        {"0", 0, 1},  {"0\n", 0, 1}, {"-1", -1, 0},     {"  -7 junk", -7, 0}, {"abc", 1, 12},
        {"1", 1, 12}, {"+2", 2, 12}, {"\n\t 3", 3, 12}, {"99999", 99999, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        LogFileGuard log;
        log.create(c.content);
        PluginHarness h(48000.0);
        EXPECT_EQ(log_level.load(), c.level);
        // Lines are appended right after whatever the file held.
        const std::string added = read_log_text().substr(std::strlen(c.content));
        EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), c.lines_added);
        if (c.lines_added > 0) {
            EXPECT_EQ(added.substr(0, ACTIVE.size() + 1), ACTIVE + "\n");
        }
    }
}

TEST(Log, NegativeLevelLeavesTheFileAlone)
{
    LogFileGuard log;
    log.create("-1");
    {
        PluginHarness h(48000.0);
        h.run(13000);
        h.control.note[0] = 50.0f;
        h.run(100);
    }
    EXPECT_EQ(read_log_text(), "-1");
}

TEST(Log, DeletedFileIsCreatedAgainByTheNextLine)
{
    LogFileGuard log;
    log.create("1");
    PluginHarness h(48000.0);
    h.run(0);
    log.remove();
    h.control.decay = 200.0f;
    h.run(0);
    const Lines expected(4, "fdbk: -0.582942 sz: 3000");
    EXPECT_EQ(read_log_lines(), expected);
}

TEST(Log, ControlChangesLogOneLinePerRetuneOrDecay)
{
    LogFileGuard log;
    log.create("1");
    PluginHarness h(48000.0);
    h.run(0);
    const size_t start = read_log_lines().size();
    h.control.transpose = 12.0f;
    h.control.note[0] = 61.0f;
    h.run(0);
    // Tube 1 retunes twice (transpose, then its note), the others once.
    const Lines expected(5, "fdbk: 0.339821 sz: 3000");
    EXPECT_EQ(tail_from(read_log_lines(), start), expected);
}

TEST(Log, GlideArrivalLogsTheNewFeedbackOnce)
{
    LogFileGuard log;
    log.create("1");
    PluginHarness h(48000.0);
    start_glide(h, 0, 500, 600);
    for (int i = 1; i < TUBE_COUNT; ++i) {
        h.edit_tube(i, [](Tube& t) { t.pending_length = 0; });  // keep the other tubes quiet
    }
    const size_t start = read_log_lines().size();
    h.run(1000);
    EXPECT_EQ(tail_from(read_log_lines(), start), Lines{"fdbk: 0.805842 sz: 600"});
}

TEST(Log, LastInstantiateDecidesForEveryInstance)
{
    LogFileGuard log;
    log.create("1");
    PluginHarness first(48000.0);
    log.remove();
    PluginHarness second(48000.0);
    first.control.decay = 222.0f;
    first.run(0);
    EXPECT_FALSE(log_exists());
}
