#pragma once
// Hash-rate text shared by the progress lines of mining and the benchmark.

#include <cstdint>
#include <string>

// "%.2f" and the largest of H/s, KH/s, MH/s, GH/s, TH/s (steps of 1000) that keeps the value
// below 1000; TH/s has no upper bound. The step is decided before rounding, so 999.999 shows as
// "1000.00 H/s".
std::string format_hash_rate(double rate);

// Seconds between two monotonic_now_ns() readings.
double elapsed_seconds(std::int64_t start_ns, std::int64_t end_ns);
