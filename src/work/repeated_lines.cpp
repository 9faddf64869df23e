#include "work/repeated_lines.h"

#include <algorithm>

std::vector<std::string> repeated_line_seen(RepeatedLines& repeats, std::string_view text, std::int64_t now_ns) {
  const auto known = std::find_if(repeats.lines.begin(), repeats.lines.end(),
                                  [text](const RepeatedLines::Line& seen) { return seen.text == text; });
  if (known == repeats.lines.end()) {
    repeats.lines.push_back({std::string(text), 0});
    repeats.last_report_ns = now_ns;
    return {"  [!] " + std::string(text) + "\n"};
  }
  ++known->unreported;
  return repeats_due(repeats, now_ns);
}

std::vector<std::string> repeats_due(RepeatedLines& repeats, std::int64_t now_ns) {
  if (static_cast<double>(now_ns - repeats.last_report_ns) / 1e9 < repeats.report_interval_seconds) return {};
  std::vector<std::string> lines = unreported_repeats(repeats);
  if (!lines.empty()) repeats.last_report_ns = now_ns;
  return lines;
}

std::vector<std::string> unreported_repeats(RepeatedLines& repeats) {
  std::vector<std::string> lines;
  for (RepeatedLines::Line& line : repeats.lines) {
    if (line.unreported == 0) continue;
    // On a line of its own: a progress line without a line end may be showing.
    lines.push_back("\n  [!] " + line.text + " (repeated " + std::to_string(line.unreported) + " times)\n");
    line.unreported = 0;
  }
  return lines;
}
