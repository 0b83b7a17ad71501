#include <algorithm>
#include <array>
#include <cmath>

#include "analysis.h"
#include "report.h"
#include "report_text.h"

// docs/behaviour.md: the behaviours a user meets, one section each, and the
// data of their plots.

namespace {

std::string polarity_section(const Report& report, const PolarityResult& polarity,
                             std::vector<std::string>& written)
{
    std::string md;
    const double note = polarity.note, f = note_hz(note);
    md += format(
        "## A change of decay inverts the loop\n\n"
        "Tube 1 (%s, %.1f Hz) at 48 kHz with decay %s, hit three times: after the "
        "start-up glide; after the decay was moved away and back to the same "
        "setting; and after its note was moved a semitone and back.\n\n"
        "![Polarity](polarity.png)\n\n"
        "| Hit | Lowest resonance | Pitch (partial spacing) | Whole T60 |\n|---|---|---|---|\n",
        note_name(note).c_str(), f, seconds(polarity.decay_ms / 1000.0).c_str());
    const auto row = [&](const char* name, double lowest, const Ringing& r) {
        return format("| %s | %s Hz (%s cents from %s) | %s Hz | %s |\n", name,
                      or_dash(lowest, "%.1f").c_str(), cents_cell(lowest, note).c_str(),
                      note_name(note).c_str(), or_dash(r.spacing_hz, "%.1f").c_str(),
                      seconds(r.energy_t60).c_str());
    };
    md += row("after the glide", polarity.before.partials[0], polarity.before);
    md += format(
        "| after a change of decay | %s Hz (%s cents from %s, %s cents from %s) | "
        "%s Hz | %s |\n",
        or_dash(polarity.after_lowest_hz, "%.1f").c_str(),
        cents_cell(polarity.after_lowest_hz, note).c_str(), note_name(note).c_str(),
        cents_cell(polarity.after_lowest_hz, note - 12).c_str(), note_name(note - 12).c_str(),
        or_dash(polarity.after.spacing_hz, "%.1f").c_str(),
        seconds(polarity.after.energy_t60).c_str());
    md += row("after a note change", polarity.restored.partials[0], polarity.restored);
    md += "\n";

    std::string data = "# Hz, dB after the glide, after a change of decay, after a note change\n";
    for (size_t i = 0; i < polarity.frequency.size(); ++i) {
        data += format("%.1f %.2f %.2f %.2f\n", polarity.frequency[i], polarity.before_db[i],
                       polarity.after_db[i], polarity.restored_db[i]);
    }
    save(report.data + "/polarity.dat", data, written);

    return md;
}

std::string startup_section(const Report& report, const std::vector<GlideTrack>& glides,
                            const std::vector<float>& hit, double hit_rate,
                            std::vector<std::string>& written)
{
    std::string md;
    const GlideTrack& first = glides.front();
    md += format(
        "## A new instance glides to its notes\n\n"
        "A new instance's tubes start with the whole delay line as their loop and glide "
        "to their notes in the first moments. Clicks into every tube from the first run "
        "on, %.0f ms apart (in new instances, shifted, to fill in the times between), with "
        "decay %.0f ms so that each click comes out once; the pitch is one over the time "
        "each click takes to come out. *Settled*: every click sent from then on comes "
        "out within %.0f%% of the final delay.\n\n"
        "![Start-up glide](startup.png)\n\n![A hit 10 ms after start-up](startup-hit.png)\n\n"
        "| Rate | Tube | Note | Pitch at start | at 50 ms | at 100 ms | at 200 ms | Final | "
        "Settled |\n|---|---|---|---|---|---|---|---|---|\n",
        1000.0 * first.click_period_s, first.decay_ms, 100.0 * first.settled_fraction);
    for (const auto& g : glides) {
        std::string block = "# time";
        for (int t = 0; t < TUBES; ++t) block += format(" tube%d_hz", t + 1);
        block += "\n";
        for (size_t i = 0; i < g.time.size(); ++i) {
            block += format("%.4f", g.time[i]);
            for (int t = 0; t < TUBES; ++t) block += format(" %.3f", g.pitch_hz[size_t(t)][i]);
            block += "\n";
        }
        save(report.data + format("/startup-%.0f.dat", g.sample_rate), block, written);
        const auto at = [&](int t, double time) {
            size_t i = 0;
            while (i + 1 < g.time.size() && g.time[i] + 1e-9 < time) ++i;
            return format("%.1f Hz", g.pitch_hz[size_t(t)][i]);
        };
        for (int t = 0; t < TUBES; ++t) {
            md += format("| %s | %d | %s | %s | %s | %s | %s | %.1f Hz | %.0f ms |\n",
                         khz(g.sample_rate).c_str(), t + 1, note_name(g.notes[t]).c_str(),
                         at(t, 0.0).c_str(), at(t, 0.05).c_str(), at(t, 0.1).c_str(),
                         at(t, 0.2).c_str(), g.final_hz[t], 1000.0 * g.settled_s[t]);
        }
    }
    md += "\n";

    // The hit's short-time spectrum, for an image: the level of each
    // frequency in windows of 20 ms every 2.5 ms, in dB from the loudest.
    const auto window = size_t(0.02 * hit_rate), hop = size_t(0.0025 * hit_rate);
    std::vector<std::array<double, 3>> cells;
    double loudest = -1000.0;
    for (size_t from = 0; from + window <= hit.size() && from < size_t(0.5 * hit_rate);
         from += hop) {
        for (double hz = 25.0; hz <= 4000.0; hz *= 1.02) {
            const double db = level_db(hit, from, window, hz, hit_rate);
            cells.push_back({double(from + window / 2) / hit_rate, hz, db});
            loudest = std::max(loudest, db);
        }
    }
    std::string image = "# time s, Hz, dB from the loudest\n";
    for (size_t i = 0; i < cells.size(); ++i) {
        if (i > 0 && cells[i][0] != cells[i - 1][0]) image += "\n";
        image += format("%.4f %.1f %.1f\n", cells[i][0], cells[i][1],
                        std::max(-80.0, cells[i][2] - loudest));
    }
    save(report.data + "/startup-hit.dat", image, written);

    return md;
}

// MXCSR, field by field.
std::string describe_csr(unsigned csr)
{
    static const char* const ROUNDING[4] = {"to nearest", "downward", "upward", "toward zero"};
    const unsigned masks = (csr >> 7) & 0x3Fu, flags = csr & 0x3Fu;
    return format("rounding %s, %s, flush-to-zero %s, denormals-are-zero %s, %s (0x%04X)",
                  ROUNDING[(csr >> 13) & 3u],
                  masks == 0x3Fu ? "all six exceptions masked"
                                 : format("exception masks 0x%02X", masks).c_str(),
                  csr & 0x8000u ? "on" : "off", csr & 0x0040u ? "on" : "off",
                  flags == 0 ? "no exception flags" : format("flags 0x%02X", flags).c_str(), csr);
}

std::string mode_section(const FpModeChange& mode)
{
    std::string md = "## Loading the library sets the loading thread's floating-point mode\n\n";
    if (!mode.measured) return md + "Not measured on this processor.\n";
    return md +
           format(
               "The thread that loads the library (here the host's main thread, when lilv "
               "instantiates the plug-in first) has its whole floating-point control register "
               "(MXCSR) replaced, not only the flush-to-zero bits. Set before loading to %s; "
               "after: %s. The plug-in sets this mode on purpose; a host whose own code on that "
               "thread relies on its own rounding, on trapping exceptions or on subnormal "
               "numbers should load the library on another thread or restore its mode "
               "afterwards.\n",
               describe_csr(mode.before).c_str(), describe_csr(mode.after).c_str());
}

// How far apart the tubes' triangles top (their phase wraps), each moved
// earlier by `lag_periods` periods of its note (later, when negative).
double spread_of_tops(const std::vector<VibratoTrack>& tubes, double lag_periods)
{
    double least = 0.0, most = 0.0;
    const auto top = [&](const VibratoTrack& t) {
        return t.fit.top_s - lag_periods / t.spacing_hz;
    };
    for (const auto& t : tubes) {
        const double period = t.fit.period_s;
        const double offset = std::remainder(top(t) - top(tubes.front()), period);
        least = std::min(least, offset);
        most = std::max(most, offset);
    }
    return most - least;
}

// How far the loop's delay (one over the spacing) swings peak to peak: the
// pitch swings by the same ratio.
double delay_swing_s(const VibratoTrack& t)
{
    const double ratio = (t.fit.middle + t.fit.half_swing) / (t.fit.middle - t.fit.half_swing);
    return (ratio - 1.0) / t.spacing_hz;
}

std::string vibrato_section(const Report& report, const Behaviour& b,
                            std::vector<std::string>& written)
{
    std::string md =
        "## The read position moves: a slow vibrato\n\n"
        "Each tube reads its delay line at a position that moves slowly back and forth, "
        "which moves its pitch. Measured after a hit (decay 10 s, so that the partials "
        "ring for seconds): the instantaneous frequency of the partial nearest 2 kHz, read "
        "every millisecond through a window of four periods of the note, from 0.1 s after "
        "the hit on while it has fallen less than 40 dB (until 2.5 s at most), and a "
        "triangle wave fitted to it (as that window sees it, so "
        "a long window does not blunt its peaks). *Peak to peak*: the triangle's swing in "
        "cents; *top at*: when it first peaks after the hit; *residual*: what the triangle "
        "leaves unexplained (rms); *loop delay swing*: how far the loop's delay (one over "
        "the spacing of the partials) moves peak to peak for that swing.\n\n"
        "![Vibrato](vibrato.png)\n\n"
        "| Rate | Note | Partial followed | Period | Vibrato rate | Top at | Peak to peak | "
        "Residual | Loop delay swing |\n|---|---|---|---|---|---|---|---|---|\n";
    for (const auto& at : b.vibrato) {
        for (const auto& t : at.tubes) {
            md += format(
                "| %s | %s | %s Hz | %.1f ms (%.0f frames) | %.3f Hz | %.1f ms | "
                "%.2f cents | %.3f Hz | %.2f µs |\n",
                khz(at.sample_rate).c_str(), note_name(t.note).c_str(),
                or_dash(t.partial_hz, "%.1f").c_str(), 1000 * t.fit.period_s,
                t.fit.period_s * at.sample_rate, 1 / t.fit.period_s, 1000 * t.fit.top_s,
                t.cents_peak_to_peak, t.fit.residual_rms, 1e6 * delay_swing_s(t));
        }
    }
    double widest = 0.0, widest_moved = 0.0, swing_spread = 0.0;
    for (const auto& at : b.vibrato) {
        double least = INFINITY, most = 0.0;
        for (const auto& t : at.tubes) {
            const double swing = delay_swing_s(t);
            least = std::min(least, swing);
            most = std::max(most, swing);
        }
        swing_spread = std::max(swing_spread, most / least - 1.0);
        widest = std::max(widest, spread_of_tops(at.tubes, 0.0));
        widest_moved = std::max(widest_moved, spread_of_tops(at.tubes, -0.5));
    }
    md += format(
        "\nThe four tubes of one instance move in step. At each rate their triangles top "
        "within %.1f ms of each other, the lower notes earlier, by about half the time "
        "their loop takes: each top moved later by half a period of its note, the four "
        "lie within %.2f ms. The pitch swings more the higher the note, but the loop's "
        "delay swings by about the same time at every note of one rate (within %.0f %%): "
        "the read position moves by a fixed time, a larger part of a short delay.\n\n",
        1000 * widest, 1000 * widest_moved, std::ceil(100 * swing_spread));
    for (const auto& at : b.vibrato) {
        std::string data = "# time s, then per tube: cents from the fitted middle\n";
        const size_t n = at.tubes.front().track.time.size();
        for (size_t i = 0; i < n; ++i) {
            data += format("%.4f", at.tubes.front().track.time[i]);
            for (const auto& t : at.tubes) {
                data += i < t.track.hz.size() ? format(" %.4f", cents(t.track.hz[i], t.fit.middle))
                                              : " ?";
            }
            data += "\n";
        }
        save(report.data + format("/vibrato-%.0f.dat", at.sample_rate), data, written);
    }

    md += format(
        "The movement splits each partial: over a long ringing the spectrum around a partial "
        "is a row of lines a vibrato rate apart, the more of them the higher the partial. "
        "%s at 48 kHz, rung for 2.6 s (decay 10 s); the lines within %.0f dB of the "
        "strongest within 40 Hz of each partial:\n\n"
        "| Partial | Lines | Gap between lines (median) |\n|---|---|---|\n",
        b.splits.empty() ? "—" : note_name(b.splits.front().note).c_str(), SPLIT_WITHIN_DB);
    std::string split_data = "# Hz from the partial, dB from its strongest line\n";
    for (const auto& s : b.splits) {
        std::vector<double> gaps;
        for (size_t i = 1; i < s.lines_hz.size(); ++i)
            gaps.push_back(s.lines_hz[i] - s.lines_hz[i - 1]);
        std::sort(gaps.begin(), gaps.end());
        md += format("| %.1f Hz | %zu | %s |\n", s.partial_hz, s.lines_hz.size(),
                     gaps.empty() ? "—" : format("%.2f Hz", gaps[gaps.size() / 2]).c_str());
        const double top = *std::max_element(s.db.begin(), s.db.end());
        split_data += format("# partial at %.1f Hz\n", s.partial_hz);
        for (size_t i = 0; i < s.frequency.size(); ++i) {
            split_data += format("%.3f %.2f\n", s.frequency[i] - s.partial_hz, s.db[i] - top);
        }
        split_data += "\n\n";
    }
    save(report.data + "/split.dat", split_data, written);

    md +=
        "\nSo two hits a moment apart do not sound alike: they meet the read position at "
        "another point of its movement. Two instances alike, each hit once, the second "
        "later by the time shown (decay 1 s, 48 kHz); the energy of the difference of "
        "the two responses over a second, against the energy of the response (0 dB: "
        "the difference is as loud as the sound itself):\n\n";
    std::vector<double> shifts;
    for (const auto& p : b.hit_pairs) {
        if (std::find(shifts.begin(), shifts.end(), p.shift_s) == shifts.end())
            shifts.push_back(p.shift_s);
    }
    md += "| Note |";
    for (const double s : shifts) md += format(" %.1f ms later |", 1000 * s);
    md += "\n|---|";
    for (size_t i = 0; i < shifts.size(); ++i) md += "---|";
    md += "\n";
    std::vector<double> notes;
    for (const auto& p : b.hit_pairs) {
        if (std::find(notes.begin(), notes.end(), p.note) == notes.end()) notes.push_back(p.note);
    }
    for (const double note : notes) {
        md += "| " + note_name(note) + " |";
        for (const double s : shifts) {
            for (const auto& p : b.hit_pairs) {
                if (p.note == note && p.shift_s == s) md += format(" %+.1f dB |", p.difference_db);
            }
        }
        md += "\n";
    }
    md +=
        "\nThe second column is one period of the movement at 48 kHz, as fitted above: "
        "hits a whole period apart meet the read position at the same point and sound "
        "alike.\n\n";
    return md;
}

std::string tubes_list(const bool (&flags)[TUBES])
{
    std::string list;
    for (int t = 0; t < TUBES; ++t) {
        if (!flags[t]) continue;
        list += (list.empty() ? "" : ", ") + std::to_string(t + 1);
    }
    return list.empty() ? "none" : list;
}

std::string preset_change_section(const std::vector<PresetChange>& changes)
{
    std::string md =
        "## Picking a preset on a running instance\n\n"
        "A preset sets the decay like any other change of it, so a preset picked on a "
        "running instance leaves inverted every tube whose note it does not change, when "
        "its decay differs from the one before; the tubes it moves to another note glide "
        "there and end in phase. Measured at 48 kHz: each preset applied through lilv to "
        "an instance at rest at its defaults, then a hit after the glides; a tube counts "
        "as inverted when its ringing repeats only every second trip round its loop (its "
        "strongest repetition lies below three quarters of the note's frequency).\n\n"
        "| Preset, picked on the defaults | Decay | Notes changed (tubes) | Inverted (tubes) "
        "|\n|---|---|---|---|\n";
    int agree = 0, tubes = 0, inverted = 0;
    for (const auto& c : changes) {
        const bool decay_changed = c.decay_after_ms != c.decay_before_ms;
        for (int t = 0; t < TUBES; ++t) {
            ++tubes;
            inverted += c.inverted[t];
            agree += c.inverted[t] == (decay_changed && !c.note_changed[t]);
        }
        if (c.start != "the defaults") continue;
        md += format("| %s | %s to %s | %s | %s |\n", c.label.c_str(),
                     seconds(c.decay_before_ms / 1000).c_str(),
                     seconds(c.decay_after_ms / 1000).c_str(), tubes_list(c.note_changed).c_str(),
                     tubes_list(c.inverted).c_str());
    }
    md += format(
        "\nThe same with every preset picked on every preset as well as on the defaults: "
        "%zu changes, %d tubes, %d of them inverted. In %d of the %d tubes the loop ended "
        "inverted exactly when the preset changed the decay and left the tube's note "
        "alone. The next note change of a tube (or the transpose) puts it back in phase.\n\n",
        changes.size(), tubes, inverted, agree, tubes);
    return md;
}

std::string glide_time_section(const std::vector<GlideTime>& times)
{
    std::string md =
        "## How long a note change glides\n\n"
        "A note change moves the tube's read position at another speed until the loop has "
        "the new note's delay: the time depends on how far the delay must move, and a "
        "delay that grows (a note down) moves a little slower than one that shrinks. "
        "Measured at 48 kHz on tube 1 at rest (decay 10 ms, so that a click comes out "
        "once): clicks sent in around the change, each timed on its way out, give the "
        "loop delay against time; the glide is over when the delay comes within one "
        "frame of the new note's delay at rest.\n\n"
        "| From | To | Delay before | Delay after | Glide takes |\n|---|---|---|---|---|\n";
    for (const auto& g : times) {
        md +=
            format("| %s | %s | %.3f ms | %.3f ms | %.1f ms |\n", note_name(g.from).c_str(),
                   note_name(g.to).c_str(), g.delay_before_ms, g.delay_after_ms, 1000 * g.seconds);
    }
    return md + "\n";
}

std::string clip_section(const Report& report, const ClipCurve& clip,
                         std::vector<std::string>& written)
{
    std::string md =
        "## The output limiter\n\n"
        "Each tube's output passes a soft limiter before the level control. The loops are "
        "linear, so a hit scaled up rings exactly as a small one scaled; what the output "
        "gives away against that is the limiter's doing. The default chord at 48 kHz "
        "(decay 1 s), tube 1, hit at levels that put the ringing's peak before the limiter "
        "where the table says: how much lower the output is at that peak, and how far the "
        "whole second of ringing lies from the linear one (rms of the difference against "
        "rms of the ringing).\n\n"
        "![Output limiter](softclip.png)\n\n"
        "| Peak before the limiter | Output at the peak lower by | Whole ringing off by |\n"
        "|---|---|---|\n";
    for (const auto& l : clip.levels) {
        md += format("| %+.0f dBFS | %.2f %% | %.2f %% |\n", l.peak_dbfs, 100 * l.peak_bend,
                     100 * l.ringing_bend);
    }
    md += format(
        "\nThe curve is d / sqrt(1 + d²) of the linear value d: every output sample of these "
        "renders lies within %.1g of its ringing's peak of that formula. It never reaches "
        "full scale, however loud the ringing.\n\n",
        clip.largest_formula_error);
    std::string data = "# linear value, output\n";
    for (size_t i = 0; i < clip.linear.size(); ++i) {
        data += format("%.6f %.6f\n", clip.linear[i], clip.output[i]);
    }
    save(report.data + "/softclip.dat", data, written);
    return md;
}

std::string first_log_section(const FirstLog& log)
{
    std::string md = "## The log's first lines\n\n";
    if (!log.measured) return md + "Not measured here: " + log.why_not + ".\n\n";
    int nan = 0, negative = 0;
    for (const auto& line : log.instantiate) {
        nan += line.find("fdbk: nan") != std::string::npos;
        negative += line.find("fdbk: -") != std::string::npos;
    }
    md +=
        "With the log on (a file holding `1`), a new instance at 48 kHz writes these lines "
        "while the host calls `instantiate`:\n\n```\n";
    for (const auto& line : log.instantiate) md += line + "\n";
    md += "```\n\nthese in its first run (one frame):\n\n```\n";
    for (const auto& line : log.first_run) md += line + "\n";
    md += "```\n\nand these as its start-up glide ends, within the next half second:\n\n```\n";
    for (const auto& line : log.glide_end) md += line + "\n";
    md += format(
        "```\n\nThey are how every instance starts, by design, and are kept. Each tube, as "
        "it is made, computes its feedback once before any decay is set: with no decay "
        "the gain is not a number, logged as `nan` (%d lines). The default decay follows "
        "at once and, as every change of decay does, leaves the loop inverted: the "
        "negative gains (%d lines). `sz: 3000` is the length a tube is made with, in "
        "sub-steps (a quarter of a frame): a provisional figure, neither the delay it "
        "starts ringing at (the whole line: see the start-up glide above) nor its note's. "
        "Then the tubes whose default note differs from the one a tube is made with (all "
        "but tube 1) compute the gain again, in phase, for the same provisional length, as "
        "does every tube when the first run takes up the host's controls. Each tube's own "
        "length and gain are logged when its start-up glide reaches its note.\n\n",
        nan, negative);
    return md;
}

}  // namespace

std::vector<std::string> write_behaviour(const Report& report, const Behaviour& b)
{
    std::vector<std::string> written;
    std::string md = header(
        "Behaviour a user meets: vibrato, polarity, presets, glides, limiter, log, load mode");
    md += vibrato_section(report, b, written);
    md += polarity_section(report, b.polarity, written);
    md += preset_change_section(b.preset_changes);
    md += glide_time_section(b.glide_times);
    md += startup_section(report, b.startup, b.startup_hit, b.startup_hit_rate, written);
    md += clip_section(report, b.clip, written);
    md += first_log_section(b.first_log);
    md += mode_section(b.mode);
    save(report.docs + "/behaviour.md", md, written);
    return written;
}
