// The tables in docs/ that the README quotes, against a fresh measurement of
// the built plug-in: a change to the sound that leaves them stale fails
// here until tools/measure-sound is run again. Measured as the tables were,
// with the same functions; a few tubes stand for the whole table.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analysis.h"
#include "measurements.h"

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The cells of the first table row of `text` (after `from`) that starts with
// `first_cell`.
std::vector<std::string> row(const std::string& text, const std::string& first_cell,
                             size_t from = 0)
{
    const size_t at = text.find("\n| " + first_cell + " |", from);
    if (at == std::string::npos) return {};
    const std::string line = text.substr(at + 1, text.find('\n', at + 1) - at - 1);
    std::vector<std::string> cells;
    std::stringstream split(line.substr(1));
    for (std::string cell; std::getline(split, cell, '|');) {
        const size_t b = cell.find_first_not_of(' '), e = cell.find_last_not_of(' ');
        cells.push_back(b == std::string::npos ? "" : cell.substr(b, e - b + 1));
    }
    return cells;
}

double seconds_of(const std::string& cell)
{
    const double value = std::stod(cell);
    return cell.find(" ms") != std::string::npos ? value / 1000.0 : value;
}

TEST(CommittedDocs, TuningAt48kHzMatchesTheBuiltPlugin)
{
    HostWorld host;
    ASSERT_NE(host.plugin(), nullptr) << "LV2_PATH does not lead to the bundle";
    const std::string table = read_file(DOCS_DIR "/tuning.md");
    Setting setting;
    setting.sample_rate = 48000.0;
    setting.decay_ms = TUNING_DECAY_MS;
    const char* const names[TUBES] = {"36 C2", "48 C3", "60 C4", "72 C5"};
    for (int t = 0; t < TUBES; ++t) setting.notes[t] = std::stod(names[t]);
    const auto tubes = ring(host, setting, TUNING_SECONDS, false, 0.45 * 48000.0, 10);
    for (int t = 0; t < TUBES; ++t) {
        SCOPED_TRACE(names[t]);
        // Note, Hz, then lowest and pitch at 44.1, 48 and 96 kHz.
        const auto cells = row(table, names[t]);
        ASSERT_EQ(cells.size(), 8u);
        const double f = note_hz(setting.notes[t]);
        EXPECT_NEAR(cents(tubes[size_t(t)].partials[0], f), std::stod(cells[4]), 0.51);
        EXPECT_NEAR(cents(tubes[size_t(t)].spacing_hz, f), std::stod(cells[5]), 0.51);
    }
}

TEST(CommittedDocs, RingingAtTheLongestDecayMatchesTheBuiltPlugin)
{
    HostWorld host;
    ASSERT_NE(host.plugin(), nullptr) << "LV2_PATH does not lead to the bundle";
    const std::string table = read_file(DOCS_DIR "/decay.md");
    const size_t section = table.find("## Decay 10.00 s, damping 12000 Hz");
    ASSERT_NE(section, std::string::npos);
    // Partial, then Hz and T60 for each note; "whole" leaves Hz empty.
    const auto whole = row(table, "whole", section);
    ASSERT_EQ(whole.size(), 1u + 2u * TUBES);
    Setting setting;
    setting.decay_ms = 10000.0;
    setting.damping_hz = 12000.0;
    for (int t = 0; t < TUBES; ++t) setting.notes[t] = DECAY_NOTES[t];
    const auto tubes =
        ring(host, setting, render_seconds(setting.decay_ms), false, DECAY_MAX_HZ, DECAY_PARTIALS);
    for (int t = 0; t < TUBES; ++t) {
        const double listed = seconds_of(whole[2 + 2 * size_t(t)]);
        EXPECT_NEAR(tubes[size_t(t)].energy_t60, listed, 0.006 * listed) << "tube " << t + 1;
    }
}

}  // namespace
