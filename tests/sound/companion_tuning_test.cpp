// The companions in tune, measured afresh through the mono companion as a
// host loads it: a sample of notes at every rate and damping the tuning page
// shows must lie within 5 cents of the note (those the tubes can reach), and
// must agree with what docs/tuning.md says of them.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analysis.h"
#include "companion_tuning.h"

namespace {

constexpr double IN_TUNE_CENTS = 5.0;
// The page prints a hundredth of a cent.
constexpr double PRINTED_CENTS = 0.0051;

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The cells after "| key |" of the first such row after `from`.
std::vector<std::string> cells_of(const std::string& text, const std::string& key, size_t from)
{
    const size_t at = text.find("\n| " + key + " |", from);
    if (at == std::string::npos) return {};
    std::stringstream line(text.substr(at + 2, text.find('\n', at + 1) - at - 2));
    std::vector<std::string> cells;
    for (std::string cell; std::getline(line, cell, '|');) {
        const size_t b = cell.find_first_not_of(' '), e = cell.find_last_not_of(' ');
        cells.push_back(b == std::string::npos ? "" : cell.substr(b, e - b + 1));
    }
    return cells;
}

}  // namespace

TEST(CompanionTuning, InTuneAsMeasuredAndAsThePageSays)
{
    HostWorld host;
    ASSERT_NE(host.plugin(), nullptr) << "LV2_PATH does not lead to the bundle";
    const std::string page = read_file(DOCS_DIR "/tuning.md");
    const size_t section = page.find("## The companions, in tune");
    ASSERT_NE(section, std::string::npos);

    const std::pair<int, const char*> notes[] = {{24, "24 C1"}, {36, "36 C2"}, {48, "48 C3"},
                                                 {60, "60 C4"}, {72, "72 C5"}, {84, "84 C6"}};
    for (const auto& [note, key] : notes) {
        const auto cells = cells_of(page, key, section);
        ASSERT_EQ(cells.size(), 2 + std::size(COMPANION_RATES) * std::size(COMPANION_DAMPINGS) + 1)
            << key;
        size_t column = 2;
        for (const double rate : COMPANION_RATES) {
            for (const double damping : COMPANION_DAMPINGS) {
                SCOPED_TRACE(std::string(key) + " at " + std::to_string(rate) + " Hz, damping " +
                             std::to_string(damping));
                const CompanionPitch p = measure_companion_pitch(host, rate, damping, note);
                const std::string& cell = cells[column++];
                const bool bracketed = cell.front() == '(';
                EXPECT_EQ(bracketed, p.out_of_reach);
                if (p.out_of_reach) {
                    // Rung at the longest loop instead, well above the note.
                    EXPECT_GT(p.centre_cents, IN_TUNE_CENTS);
                } else {
                    EXPECT_NEAR(p.centre_cents, 0.0, IN_TUNE_CENTS);
                }
                EXPECT_NEAR(p.centre_cents, std::stod(cell.substr(bracketed ? 1 : 0)),
                            PRINTED_CENTS);
            }
        }
    }
}
