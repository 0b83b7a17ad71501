#include <algorithm>
#include <cmath>
#include <fstream>

#include "analysis.h"
#include "report.h"
#include "report_text.h"

namespace {

std::string cents_text(double value)
{
    return std::isnan(value) ? "—" : format("%+.2f", value);
}

// The largest |value| among rows that pass `keep`, and the row it is in.
template <class Value, class Keep>
const CompanionPitch* largest(const std::vector<CompanionPitch>& rows, Value value, Keep keep)
{
    const CompanionPitch* best = nullptr;
    for (const auto& row : rows) {
        if (!keep(row)) continue;
        if (best == nullptr || !(std::fabs(value(row)) <= std::fabs(value(*best)))) best = &row;
    }
    return best;
}

std::string where(const CompanionPitch& row)
{
    return format("%s at %s, damping %g kHz", note_name(row.note).c_str(),
                  khz(row.sample_rate).c_str(), row.damping_hz / 1000.0);
}

}  // namespace

std::vector<std::string> write_companion_tuning(const Report& report,
                                                const std::vector<CompanionPitch>& rows)
{
    std::vector<std::string> written;
    const auto reachable = [](const CompanionPitch& r) { return !r.out_of_reach; };
    const auto centre = [](const CompanionPitch& r) { return r.centre_cents; };
    const auto sway = [](const CompanionPitch& r) {
        return std::max(std::fabs(r.hit_cents[0] - r.centre_cents),
                        std::fabs(r.hit_cents[1] - r.centre_cents));
    };
    const CompanionPitch* worst = largest(rows, centre, reachable);
    const CompanionPitch* widest = largest(rows, sway, reachable);
    // Per rate, the first and last note out of reach.
    std::string out_of_reach;
    for (const double rate : COMPANION_RATES) {
        const CompanionPitch* first = nullptr;
        const CompanionPitch* last = nullptr;
        for (const auto& row : rows) {
            if (row.sample_rate != rate || !row.out_of_reach) continue;
            if (first == nullptr || row.note < first->note) first = &row;
            if (last == nullptr || row.note > last->note) last = &row;
        }
        if (first == nullptr) continue;
        out_of_reach += format("%s%s, %s to %s", out_of_reach.empty() ? "" : "; ",
                               khz(rate).c_str(), note_name(first->note).c_str(),
                               note_name(last->note).c_str());
    }

    std::string md = "\n## The companions, in tune\n\n";
    md += format(
        "With their `tuning` control at *In tune* (the default), the mono and stereo "
        "companions give each tube's loop the fractional length that puts the spacing of "
        "its partials 2 to 8 on the note; at *As the four-channel plug-in* every tube rings "
        "as in the tables above, bit for bit. Measured through the mono companion, all four "
        "tubes on the note, mix 100 %%, decay %.0f ms: each cell is the pitch, in cents "
        "from the note, at that rate and damping. The read position's slow modulation sways "
        "the pitch of a single hit around a centre, more the higher the note, so every note "
        "is hit twice, half a modulation period apart, where the sway is opposite; the cell "
        "is their mean.\n\n",
        TUNING_DECAY_MS);
    if (worst != nullptr && widest != nullptr) {
        md += format(
            "Every note the tubes can reach lies within %.2f cents of its note (the farthest: "
            "%s). A single hit lies up to %.1f cents from that centre (%s): the modulation, "
            "which belongs to the loop, as the [read position's slow movement](behaviour.md) "
            "shows. The lowest partial stays where the loop's filters put it, above the "
            "others' spacing; the last column gives it at 48 kHz.\n\n",
            std::fabs(worst->centre_cents), where(*worst).c_str(), sway(*widest),
            where(*widest).c_str());
    }
    // Where partial 1 does not ring, the most partial 2 is lifted.
    const CompanionPitch* lifted = largest(
        rows, [](const CompanionPitch& r) { return r.second_lift; },
        [](const CompanionPitch& r) {
            return !r.out_of_reach && std::isnan(r.lowest_cents) && !std::isnan(r.second_lift);
        });
    std::string unrung;
    for (const double rate : COMPANION_RATES) {
        double low = NAN, high = NAN;
        for (const auto& row : rows) {
            if (row.sample_rate != rate || row.out_of_reach || !std::isnan(row.lowest_cents)) {
                continue;
            }
            low = std::isnan(low) ? row.note : std::min(low, row.note);
            high = std::isnan(high) ? row.note : std::max(high, row.note);
        }
        if (std::isnan(low)) continue;
        const std::string notes =
            low == high ? note_name(low) : note_name(low) + " to " + note_name(high);
        unrung += format("%s%s, %s", unrung.empty() ? "" : "; ", khz(rate).c_str(), notes.c_str());
    }
    md +=
        "In tune, a tube at a rate above about 49 kHz gets a delay line twice as long as the "
        "four-channel plug-in's, 12,000 sub-steps instead of 6,000, so that C1 is within its "
        "reach up to about 98 kHz (at 176.4 and 192 kHz the lowest notes are not). A change "
        "of `tuning` there moves the tube to the other line with what it holds, so it rings "
        "on through the change.\n\n";
    if (lifted != nullptr && !unrung.empty()) {
        md += format(
            "The loop's filters lift its lowest partials, and the more the higher the rate. "
            "Where partial 1 does not ring at all (%s, at some damping), partial 2 lies up to "
            "%.2f times the note's frequency above twice it (%s): the partials keep the note's "
            "spacing, but lie off its harmonics.\n\n",
            unrung.c_str(), lifted->second_lift, where(*lifted).c_str());
    }
    if (!out_of_reach.empty()) {
        md += format(
            "In brackets: notes out of the tubes' reach (%s). Their period is longer than the "
            "longest loop a tube in tune has at that rate, and they ring at the lowest pitch "
            "the tube makes instead, as in the four-channel plug-in.\n\n",
            out_of_reach.c_str());
    }
    md += "![Tuning, the four-channel plug-in beside the companions in tune]"
          "(companion-tuning.png)\n\n";

    md += "| Note | Hz |";
    for (const double rate : COMPANION_RATES) {
        for (const double damping : COMPANION_DAMPINGS) {
            md += format(" %s, %g kHz |", khz(rate).c_str(), damping / 1000.0);
        }
    }
    md += " 48 kHz lowest |\n|---|---|";
    for (size_t i = 0; i < std::size(COMPANION_RATES) * std::size(COMPANION_DAMPINGS) + 1; ++i) {
        md += "---|";
    }
    md += "\n";
    std::string data = "# note rate damping hit1_cents hit2_cents centre_cents out_of_reach\n";
    std::vector<double> notes;
    for (const auto& row : rows) {
        if (std::find(notes.begin(), notes.end(), row.note) == notes.end()) {
            notes.push_back(row.note);
        }
        data += format("%.0f %.0f %.0f %s %s %s %d\n", row.note, row.sample_rate, row.damping_hz,
                       or_missing(row.hit_cents[0], "%.3f").c_str(),
                       or_missing(row.hit_cents[1], "%.3f").c_str(),
                       or_missing(row.centre_cents, "%.3f").c_str(), row.out_of_reach ? 1 : 0);
    }
    for (const double note : notes) {
        md += format("| %.0f %s | %.1f |", note, note_name(note).c_str(), note_hz(note));
        double lowest = NAN;
        for (const double rate : COMPANION_RATES) {
            for (const double damping : COMPANION_DAMPINGS) {
                std::string cell = "—";
                for (const auto& row : rows) {
                    if (row.note != note || row.sample_rate != rate || row.damping_hz != damping) {
                        continue;
                    }
                    cell = cents_text(row.centre_cents);
                    if (row.out_of_reach) cell = "(" + cell + ")";
                    if (rate == 48000.0 && damping == COMPANION_DAMPINGS[1]) {
                        lowest = row.lowest_cents;
                    }
                }
                md += " " + cell + " |";
            }
        }
        md += " " + or_dash(lowest, "%+.0f") + " |\n";
    }

    // This section follows the four-channel plug-in's tables: measure_sound
    // writes tuning.md with them first.
    std::ofstream(report.docs + "/tuning.md", std::ios::app) << md;
    written.push_back(report.docs + "/tuning.md");
    save(report.data + "/companion-tuning.dat", data, written);
    return written;
}
