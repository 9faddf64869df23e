#pragma once
// Console lines that may come many times a second (a failing launch, a pool's malformed
// messages): each distinct line is shown the first time, its repeats are counted, and the counts
// are told at most once per interval instead of line by line.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct RepeatedLines {
  double report_interval_seconds = 10;  // repeats of lines already shown are reported this often
  struct Line {
    std::string text;              // without "  [!] " and the line end
    std::uint64_t unreported = 0;  // repeats since it was last reported
  };
  std::vector<Line> lines;  // every line seen, in order of first appearance
  std::int64_t last_report_ns = 0;
};

// One occurrence of text at now_ns (monotonic nanoseconds). Returns the console lines to print
// now: "  [!] text" the first time the text appears, else the repeat counts once
// report_interval_seconds have passed since the last report.
std::vector<std::string> repeated_line_seen(RepeatedLines& repeats, std::string_view text, std::int64_t now_ns);

// The repeat counts, when report_interval_seconds have passed since the last report: for a caller
// that looks now and then, so that a burst that has ended is still counted.
std::vector<std::string> repeats_due(RepeatedLines& repeats, std::int64_t now_ns);

// The repeat counts not reported yet, one line per text ("  [!] text (repeated N times)"); the
// counts start again from zero.
std::vector<std::string> unreported_repeats(RepeatedLines& repeats);
