#pragma once

#include <string>
#include <vector>

// How the reports write numbers, notes and files, shared by every table.

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
// "C4", "C#1": the name of a MIDI note.
std::string note_name(double note);
// A value, or a dash where nothing could be measured.
std::string or_dash(double value, const char* pattern);
// The same for plot data: gnuplot reads "?" as a missing value.
std::string or_missing(double value, const char* pattern);
// A frequency in cents from a note, signed, or a dash.
std::string cents_cell(double frequency, double note);
// "93 ms" below a second, "1.29 s" from there on, or a dash.
std::string seconds(double s);
std::string khz(double rate);
// The top of a generated page: where it comes from, and its title.
std::string header(const std::string& title);
// Writes `text` to `path` and adds the path to `written`.
void save(const std::string& path, const std::string& text, std::vector<std::string>& written);
