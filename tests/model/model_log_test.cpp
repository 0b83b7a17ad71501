// The log file written by the plug-in against the lines of the independent
// model. These tests own /tmp/ostrevan.log while they run, so they run alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "side_by_side.h"

namespace {

using namespace model;

const char* const LOG_PATH = "/tmp/ostrevan.log";

// Owns LOG_PATH for the life of one test: waits for another process's file to
// go, creates a fresh one with the given content, and removes it at the end.
class LogFile {
public:
    explicit LogFile(const std::string& content)
    {
        for (int i = 0; i < 100 && std::ifstream(LOG_PATH).good(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::remove(LOG_PATH);
        std::ofstream(LOG_PATH, std::ios::binary) << content;
    }
    ~LogFile() { std::remove(LOG_PATH); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    static std::string read()
    {
        std::ifstream in(LOG_PATH, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

TEST(LogLines, EveryLineOfALongSessionAtLevelOne)
{
    std::string written;
    std::vector<std::string> expected;
    {
        LogFile file("");
        SideBySide pair(48000.0, "");
        ASSERT_TRUE(
            play(pair, {"log_session",
                        48000.0,
                        Signal::BURSTS,
                        {{{}, SETTLE, {1, 15, 0, 16, 17, 100, 1000, 3, 250}},
                         {{{TRANSPOSE, 12.0f}, {NOTE_1, 48.0f}}, 3000},
                         {{{DECAY, 200.0f}}, 100},
                         {{{NOTE_2, 70.0f}}, 100},
                         {{{NOTE_2, 71.0f}, {LEVEL, -6.0f}, {DAMPING, 3000.0f}}, 4000, {17}},
                         {{{DECAY, 0.0f}}, 100},
                         {{{DECAY, -3.0f}}, 100},
                         {{{TRANSPOSE, NaN}}, 3, {1}},
                         {{{DECAY, NaN}}, 2, {1}}}}));
        written = LogFile::read();
        expected = pair.model().log_lines();
    }
    // The first lines follow from the instantiation order alone; they pin the
    // model as much as the plug-in.
    const std::vector<std::string> instantiation = {
        "### log is active now ### ", "fdbk: nan sz: 3000",       "fdbk: -0.339821 sz: 3000",
        "fdbk: nan sz: 3000",         "fdbk: -0.339821 sz: 3000", "fdbk: nan sz: 3000",
        "fdbk: -0.339821 sz: 3000",   "fdbk: nan sz: 3000",       "fdbk: -0.339821 sz: 3000",
        "fdbk: 0.339821 sz: 3000",    "fdbk: 0.339821 sz: 3000",  "fdbk: 0.339821 sz: 3000",
        "fdbk: 0.339821 sz: 3000",    "fdbk: 0.339821 sz: 3000",  "fdbk: 0.339821 sz: 3000",
        "fdbk: 0.339821 sz: 3000"};  // then the first run's four transpose lines
    ASSERT_GE(expected.size(), instantiation.size());
    EXPECT_EQ(std::vector<std::string>(expected.begin(), expected.begin() + instantiation.size()),
              instantiation);
    const std::vector<std::string> lines = split(written);
    EXPECT_EQ(written, joined(lines));  // every line ends in a newline
    for (size_t i = 0; i < std::min(lines.size(), expected.size()); ++i) {
        ASSERT_EQ(lines[i], expected[i]) << "log line " << i + 1;
    }
    EXPECT_EQ(lines.size(), expected.size());
}

TEST(LogLines, ArrivalsAreLoggedBlockByBlock)
{
    // Within a block of 16 frames tube 1 finishes all its frames before tube 2
    // starts, so tube 1's arrival is logged first even when tube 2 arrives a few
    // frames earlier in the same block; in an earlier block, tube 2's comes
    // first. Note 100 (length 121) and note 91 (122) start alike and arrive
    // about nine sub-steps apart; the model finds the frames, and a first run of
    // the right size puts the block boundary where each case needs it.
    const float controls[CONTROL_COUNT] = {100.0f, 91.0f,  60.0f, 60.0f,
                                           0.0f,   100.0f, 0.0f,  12000.0f};
    Instance probe(48000.0, nullptr);
    const float silence[4] = {};
    const float* in[4] = {silence, silence, silence, silence};
    float sink[4][1];
    float* out[4] = {sink[0], sink[1], sink[2], sink[3]};
    uint64_t arrival[2] = {0, 0};
    for (uint64_t frame = 0; frame < 20000 && !(arrival[0] && arrival[1]); ++frame) {
        probe.run(controls, in, out, 1);
        for (int i = 0; i < 2; ++i) {
            if (!arrival[i] && !probe.tube(i).gliding && probe.tube(i).length == 121u + i)
                arrival[i] = frame;
        }
    }
    ASSERT_GT(arrival[0], arrival[1] + 1);
    ASSERT_LT(arrival[0], arrival[1] + 8);

    const struct {
        uint64_t place_in_block;  // of tube 2's arrival frame
        const char* logged_last;
    } cases[] = {{7, " sz: 122"}, {15, " sz: 121"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.place_in_block);
        std::vector<std::string> written, expected;
        {
            LogFile file("");
            SideBySide pair(48000.0, "");
            std::copy(std::begin(controls), std::end(controls), pair.controls);
            const uint32_t lead_in =
                static_cast<uint32_t>((arrival[1] + 16 - c.place_in_block) % 16);
            ASSERT_TRUE(pair.run(lead_in, Signal::IMPULSES, SEPARATE));
            ASSERT_TRUE(
                pair.run(static_cast<uint32_t>(arrival[0] + 16), Signal::IMPULSES, SEPARATE));
            written = split(LogFile::read());
            expected = pair.model().log_lines();
        }
        ASSERT_GE(expected.size(), 2u);
        EXPECT_NE(expected.back().find(c.logged_last), std::string::npos) << expected.back();
        EXPECT_EQ(written, expected);
    }
}

TEST(LogLines, LevelTakenFromTheFilesContent)
{
    const char* contents[] = {"0", "-1", "abc", "  +2\n", "1 trailing words\n"};
    for (const char* content : contents) {
        SCOPED_TRACE(std::string("file content \"") + content + "\"");
        std::string written;
        std::vector<std::string> expected;
        {
            LogFile file(content);
            SideBySide pair(44100.0, content);
            ASSERT_TRUE(play(pair, {"log_level",
                                    44100.0,
                                    Signal::IMPULSES,
                                    {{{}, 13000, {1000}}, {{{DECAY, 90.0f}}, 10}}}));
            written = LogFile::read();
            expected = pair.model().log_lines();
        }
        EXPECT_EQ(written, content + joined(expected));
    }
}

}  // namespace
