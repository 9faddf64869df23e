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

// A run's length as "H:MM:SS", whole seconds rounded down; negative times show as 0:00:00.
std::string format_elapsed(double seconds);

// The line after the end of a run: elapsed time and average rate over it ("0.00 H/s" for a run
// too short to measure).
std::string run_summary_line(std::uint64_t hashes, double seconds);
