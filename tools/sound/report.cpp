#include "report.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "analysis.h"
#include "report_text.h"

namespace {

// The index of the partial with the longest ringing.
size_t longest(const Ringing& r)
{
    size_t best = 0;
    for (size_t k = 0; k < r.t60.size(); ++k) {
        if (!std::isnan(r.t60[k]) && (std::isnan(r.t60[best]) || r.t60[k] > r.t60[best])) best = k;
    }
    return best;
}

// The first partial whose ringing was measured.
size_t lowest_measured(const Ringing& r)
{
    size_t k = 0;
    while (k < r.t60.size() && std::isnan(r.t60[k])) ++k;
    return k;
}

std::string ringing_data(const Ringing& r)
{
    std::string text = format("# note %.0f: partial, Hz, T60 s\n", r.note);
    for (size_t k = 0; k < r.partials.size(); ++k) {
        if (std::isnan(r.partials[k]) || k >= r.t60.size() || std::isnan(r.t60[k])) continue;
        text += format("%zu %.3f %.4f\n", k + 1, r.partials[k], r.t60[k]);
    }
    return text + "\n\n";
}

}  // namespace

namespace {

std::string glide_end_section(const std::vector<GlideEnd>& ends)
{
    std::string md =
        "\n## The pitch after a glide depends on its direction\n\n"
        "Tube 1 at 48 kHz (decay 1 s), glided to each note from an octave below and from an "
        "octave above, then hit once the glide was over: the pitch (spacing of partials 2 "
        "to 8) in cents from the note. The table above is measured after the start-up "
        "glide, which comes from a longer delay, as a glide up does.\n\n"
        "| Note | After a glide up | After a glide down | Down minus up |\n|---|---|---|---|\n";
    for (const auto& e : ends) {
        md += format("| %s | %+.1f | %+.1f | %+.1f |\n", note_name(e.note).c_str(), e.up_cents,
                     e.down_cents, e.down_cents - e.up_cents);
    }
    return md;
}

std::string weak_lowest_section(const std::vector<WeakLowest>& weak)
{
    std::string md =
        "\n## The lowest partial at C1\n\n"
        "Below partial 2 of the lowest notes, the strongest local maximum of the spectrum "
        "(the same render as the table: decay 1 s, damping 12 kHz), how far it rises over "
        "the lower of the dips on either side of it, and how long it rings.\n\n"
        "| Rate | Note | Lowest resonance | Over the dips | T60 |\n|---|---|---|---|---|\n";
    for (const auto& w : weak) {
        md += format("| %s | %s | %s Hz (%s cents) | %s dB | %s |\n", khz(w.sample_rate).c_str(),
                     note_name(w.note).c_str(), or_dash(w.hz, "%.1f").c_str(),
                     cents_cell(w.hz, w.note).c_str(), or_dash(w.over_floor_db, "%.2f").c_str(),
                     seconds(w.t60).c_str());
    }
    return md;
}

// How much longer each note rings at the higher damping: the whole ringing,
// and the partials within NEAR_HZ of 4 kHz.
std::string damping_section(const std::vector<DecayCase>& cases)
{
    constexpr double LOW = 12000.0, HIGH = 20000.0, AROUND_HZ = 4000.0, NEAR_HZ = 500.0;
    std::string md = format(
        "## Damping %.0f kHz against %.0f kHz\n\n"
        "How much longer each note rings at damping %.0f kHz than at %.0f kHz: the whole "
        "ringing, and each partial between %.1f and %.1f kHz (the lowest and highest change "
        "among them).\n\n"
        "| Decay | Note | Whole, %.0f kHz | Whole, %.0f kHz | Whole: longer by | Partials near "
        "%.0f kHz: longer by |\n|---|---|---|---|---|---|\n",
        HIGH / 1000, LOW / 1000, HIGH / 1000, LOW / 1000, (AROUND_HZ - NEAR_HZ) / 1000,
        (AROUND_HZ + NEAR_HZ) / 1000, LOW / 1000, HIGH / 1000, AROUND_HZ / 1000);
    for (const auto& low : cases) {
        if (low.damping_hz != LOW) continue;
        for (const auto& high : cases) {
            if (high.damping_hz != HIGH || high.decay_ms != low.decay_ms) continue;
            for (size_t t = 0; t < low.tubes.size(); ++t) {
                const Ringing &a = low.tubes[t], &b = high.tubes[t];
                double least = INFINITY, most = -INFINITY;
                for (size_t k = 0; k < a.partials.size() && k < b.partials.size(); ++k) {
                    if (std::fabs(a.partials[k] - AROUND_HZ) > NEAR_HZ) continue;
                    if (std::isnan(a.t60[k]) || std::isnan(b.t60[k])) continue;
                    const double change = b.t60[k] / a.t60[k] - 1.0;
                    least = std::min(least, change);
                    most = std::max(most, change);
                }
                const std::string near =
                    std::isinf(least) ? "—" : format("%+.0f to %+.0f %%", 100 * least, 100 * most);
                md += format("| %s | %s | %s | %s | %+.1f %% | %s |\n",
                             seconds(low.decay_ms / 1000).c_str(), note_name(a.note).c_str(),
                             seconds(a.energy_t60).c_str(), seconds(b.energy_t60).c_str(),
                             100 * (b.energy_t60 / a.energy_t60 - 1.0), near.c_str());
            }
        }
    }
    return md + "\n";
}

}  // namespace

std::vector<std::string> write_tuning(const Report& report, const std::vector<TuningRow>& rows,
                                      const std::vector<GlideEnd>& glide_ends,
                                      const std::vector<WeakLowest>& weak)
{
    std::vector<std::string> written;
    std::string md = header("Tuning: where the partials lie");
    md += format(
        "Every note at three host rates, measured from the plug-in's impulse response "
        "(decay %.0f ms, damping 12 kHz, after the start-up glide). *Lowest* is the lowest "
        "partial; *pitch* is the spacing of partials 2 to 8 (a straight line fitted to "
        "their frequencies), which is the pitch the ear hears. Both in cents from the "
        "note in equal temperament (A4 = 440 Hz). A dash: below partial 2 the search finds "
        "no peak that stands out of the skirt of the loop's filters. At 48 kHz C1 has one, "
        "barely: see [the lowest partial at C1](#the-lowest-partial-at-c1).\n\n"
        "![Tuning](tuning.png)\n\n",
        TUNING_DECAY_MS);
    md += "| Note | Hz |";
    std::vector<double> rates;
    for (const auto& row : rows) {
        if (std::find(rates.begin(), rates.end(), row.sample_rate) == rates.end()) {
            rates.push_back(row.sample_rate);
        }
    }
    for (const double rate : rates) md += " " + khz(rate) + " lowest | " + khz(rate) + " pitch |";
    md += "\n|---|---|";
    for (size_t i = 0; i < rates.size(); ++i) md += "---|---|";
    md += "\n";
    std::string data = "# note rate lowest_cents pitch_cents lowest_hz spacing_hz\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Ringing& r = rows[i].ringing;
        if (rows[i].sample_rate == rates.front()) {
            md += format("| %.0f %s | %.1f |", r.note, note_name(r.note).c_str(), note_hz(r.note));
            for (const auto& other : rows) {
                if (other.ringing.note != r.note) continue;
                md += " " + cents_cell(other.ringing.partials[0], r.note) + " | " +
                      cents_cell(other.ringing.spacing_hz, r.note) + " |";
            }
            md += "\n";
        }
        const double lowest = r.partials.empty() ? NAN : r.partials[0];
        data +=
            format("%.0f %.0f %s %s %s %s\n", r.note, rows[i].sample_rate,
                   or_missing(cents(lowest, note_hz(r.note)), "%.2f").c_str(),
                   or_missing(cents(r.spacing_hz, note_hz(r.note)), "%.2f").c_str(),
                   or_missing(lowest, "%.3f").c_str(), or_missing(r.spacing_hz, "%.3f").c_str());
    }
    md += glide_end_section(glide_ends);
    md += weak_lowest_section(weak);
    save(report.docs + "/tuning.md", md, written);
    save(report.data + "/tuning.dat", data, written);
    return written;
}

std::vector<std::string> write_decay(const Report& report, const std::vector<DecayCase>& cases)
{
    std::vector<std::string> written;
    std::string md = header("Decay: how long each partial rings");
    md +=
        "The time each partial takes to fall by 60 dB (T60) after a hit, at 48 kHz, for "
        "C2, C3, C4 and C5 at three decay settings and three dampings. *Whole* is the "
        "ringing of all partials together (the energy's fall, backward-integrated). A "
        "partial is listed when its fall could be measured over at least 10 dB.\n\n"
        "![Decay](decay.png)\n\n![Damping](damping.png)\n\n";
    md += damping_section(cases);
    for (const auto& c : cases) {
        md += format("## Decay %s, damping %.0f Hz\n\n", seconds(c.decay_ms / 1000.0).c_str(),
                     c.damping_hz);
        md += "| Partial |";
        for (const auto& t : c.tubes) md += " " + note_name(t.note) + " Hz | T60 |";
        md += "\n|---|";
        for (size_t i = 0; i < c.tubes.size(); ++i) md += "---|---|";
        md += "\n| whole |";
        for (const auto& t : c.tubes) md += " | " + seconds(t.energy_t60) + " |";
        md += "\n";
        size_t most = 0;
        for (const auto& t : c.tubes) most = std::max(most, t.partials.size());
        for (size_t k = 0; k < most; ++k) {
            md += format("| %zu |", k + 1);
            for (const auto& t : c.tubes) {
                const bool has = k < t.partials.size() && !std::isnan(t.partials[k]);
                md +=
                    has ? format(" %.1f | %s |", t.partials[k], seconds(t.t60[k]).c_str()) : " | |";
            }
            md += "\n";
        }
        md += "\n";
        std::string data;
        for (const auto& t : c.tubes) data += ringing_data(t);
        save(report.data + format("/decay-%.0f-%.0f.dat", c.decay_ms, c.damping_hz), data, written);
    }
    save(report.docs + "/decay.md", md, written);
    return written;
}

std::vector<std::string> write_presets(const Report& report,
                                       const std::vector<PresetResult>& presets)
{
    std::vector<std::string> written;
    std::string md = header("Presets: how each one rings");
    md +=
        "Each preset of the bundle applied through lilv's state interface at 48 kHz, "
        "then a hit after the start-up glide. Per tube: its note, the pitch heard "
        "(spacing of partials 2 to 8) and the lowest partial in cents from the note, how "
        "long the whole ringing lasts (T60 of the energy), how long its lowest measurable "
        "partial rings, and which partial rings longest.\n\n"
        "![Long dark drone](drone.png)\n\n";
    md +=
        "| Preset | Decay | Damping | Level | Tube | Note | Pitch | Lowest | Whole T60 | "
        "Lowest partial: Hz, T60 | Longest: Hz, T60 |\n"
        "|---|---|---|---|---|---|---|---|---|---|---|\n";
    for (const auto& p : presets) {
        for (size_t t = 0; t < p.tubes.size(); ++t) {
            const Ringing& r = p.tubes[t];
            const size_t low = lowest_measured(r), top = longest(r);
            if (low >= r.t60.size()) continue;
            const std::string first =
                t == 0 ? format("%s | %s | %.0f Hz | %.0f dB", p.preset.label.c_str(),
                                seconds(p.decay_ms / 1000.0).c_str(), p.damping_hz, p.level_db)
                       : " | | | ";
            md += format("| %s | %zu | %s | %s | %s | %s | %.0f, %s | %.0f, %s |\n", first.c_str(),
                         t + 1, note_name(r.note).c_str(), cents_cell(r.spacing_hz, r.note).c_str(),
                         cents_cell(r.partials[0], r.note).c_str(), seconds(r.energy_t60).c_str(),
                         r.partials[low], seconds(r.t60[low]).c_str(), r.partials[top],
                         seconds(r.t60[top]).c_str());
        }
    }
    md += "\nWhat the presets say of themselves (their `rdfs:comment`):\n\n";
    for (const auto& p : presets) md += "- **" + p.preset.label + "**: " + p.preset.comment + "\n";
    save(report.docs + "/presets.md", md, written);
    for (const auto& p : presets) {
        if (p.preset.uri.size() < 6 || p.preset.uri.compare(p.preset.uri.size() - 6, 6, "#drone")) {
            continue;
        }
        std::string data;
        for (const auto& t : p.tubes) data += ringing_data(t);
        save(report.data + "/drone.dat", data, written);
    }
    return written;
}
