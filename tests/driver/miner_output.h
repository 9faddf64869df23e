#pragma once
// Reads the miner's console output back: regular-expression checks and the benchmark's
// progress and result lines.

#include <cstdint>
#include <string>
#include <vector>

// The device listing: its first line, then per device its line and its PCI bus id, or, without devices of the
// chosen type, perhaps the line that names the devices of other types.
inline const std::string device_list_pattern =
    "OpenCL platforms: [0-9]+\n((  Platform [0-9]+, Device [0-9]+: .* \\(.*, [0-9]+ MB\\)\n    PCI bus id: (unknown|"
    "[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\\.[0-7])\n)+|"
    "(  No [A-Za-z]+ device, but .*\n)?)";

// The line that names the devices of other types, without its leading "  " or "  [!] ".
inline const std::string other_device_types_pattern =
    "No GPU device, but platform [0-9]+ has [0-9]+ CPU devices?(, .*)?: run with VELTRANE_DEVICE_TYPE=all to use "
    "(it|them)";

// One rate as the benchmark shows it, with its device's index when the line names one.
struct ShownRate {
  int device = -1;   // -1: the total
  std::string rate;  // "1.23 MH/s", or "lost"
};

struct BenchmarkOutput {
  std::vector<double> progress_seconds;  // the time shown by each "\r  [12.3s] rate  " line
  // Each progress line's rates: the total, then with several devices "  #N rate" for each.
  std::vector<std::vector<ShownRate>> progress_rates;
  bool progress_well_formed = true;      // every rate of every progress line was in a known unit
  bool has_result = false;               // the output ends with the result line
  std::string result_rate;
  std::uint64_t result_hashes = 0;
  double result_seconds = 0;
};

BenchmarkOutput parse_benchmark_output(const std::string& output);

// True when the whole text matches the ECMAScript regular expression.
bool matches_whole(const std::string& text, const std::string& pattern);

// The first capture group of the first match of pattern in text; empty when there is none.
std::string first_capture(const std::string& text, const std::string& pattern);
