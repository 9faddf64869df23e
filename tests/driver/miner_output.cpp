// GCC 12 warns falsely about std::function inside <regex> when sanitizers are on; the pragma
// has to come before the first include to reach the library headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "miner_output.h"

#include <regex>

BenchmarkOutput parse_benchmark_output(const std::string& output) {
  BenchmarkOutput parsed;
  const std::regex progress("\r  \\[([0-9]+\\.[0-9])s\\] ([^\r\n]*)  ");
  const std::string rate = "[0-9]+\\.[0-9]{2} (?:H|KH|MH|GH|TH)/s";
  const std::regex total("(" + rate + ")((?:  #[0-9]+ (?:" + rate + "|lost))*)");
  const std::regex device_rate("  #([0-9]+) (" + rate + "|lost)");
  for (std::sregex_iterator it(output.begin(), output.end(), progress), end; it != end; ++it) {
    parsed.progress_seconds.push_back(std::stod((*it)[1].str()));
    std::vector<ShownRate>& rates = parsed.progress_rates.emplace_back();
    const std::string text = (*it)[2].str();
    std::smatch parts;
    if (!std::regex_match(text, parts, total)) {
      parsed.progress_well_formed = false;
      continue;
    }
    rates.push_back({-1, parts[1].str()});
    const std::string devices = parts[2].str();
    for (std::sregex_iterator device(devices.begin(), devices.end(), device_rate); device != end; ++device) {
      rates.push_back({std::stoi((*device)[1].str()), (*device)[2].str()});
    }
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
