#pragma once
// Reads the benchmark's console output back: progress lines and the result line.

#include <cstdint>
#include <string>
#include <vector>

struct BenchmarkOutput {
  std::vector<double> progress_seconds;  // the time shown by each "\r  [12.3s] rate  " line
  bool progress_well_formed = true;      // every progress line had a rate in a known unit
  bool has_result = false;               // the output ends with the result line
  std::string result_rate;
  std::uint64_t result_hashes = 0;
  double result_seconds = 0;
};

BenchmarkOutput parse_benchmark_output(const std::string& output);
