// GCC 12 warns falsely about std::function inside <regex> when sanitizers are on; the pragma
// has to come before the first include to reach the library headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "miner_output.h"

#include <regex>

BenchmarkOutput parse_benchmark_output(const std::string& output) {
  BenchmarkOutput parsed;
  const std::regex progress("\r  \\[([0-9]+\\.[0-9])s\\] ([^\r\n]*)  ");
  const std::regex rate("[0-9]+\\.[0-9]{2} (H|KH|MH|GH|TH)/s");
  for (std::sregex_iterator it(output.begin(), output.end(), progress), end; it != end; ++it) {
    parsed.progress_seconds.push_back(std::stod((*it)[1].str()));
    if (!std::regex_match((*it)[2].str(), rate)) parsed.progress_well_formed = false;
  }
  const std::regex result("\n\n  Result: ([0-9]+\\.[0-9]{2} (?:H|KH|MH|GH|TH)/s) \\(([0-9]+) hashes in ([0-9]+\\.[0-9])s\\)\n\n$");
  std::smatch match;
  if (std::regex_search(output, match, result)) {
    parsed.has_result = true;
    parsed.result_rate = match[1].str();
    parsed.result_hashes = std::stoull(match[2].str());
    parsed.result_seconds = std::stod(match[3].str());
  }
  return parsed;
}

bool matches_whole(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

std::string first_capture(const std::string& text, const std::string& pattern) {
  std::smatch match;
  return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : std::string();
}
