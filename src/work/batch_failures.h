#pragma once
// What a device's failed batches mean for the user. Each distinct error is named once, its
// repeats are counted and reported now and then rather than per batch, and a device whose
// batches have all failed for lost_after_seconds is given up, so that a supervisor can restart
// the miner. One tracker per device; the caller prints the lines it returns.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "work/repeated_lines.h"

struct BatchFailures {
  double lost_after_seconds = 30;  // every batch failed this long: the device is given up
  // Names the device in every line when there are several ("Device 1: "); empty with one, whose
  // lines need no name.
  std::string device_label;
  RepeatedLines errors;  // "clFinish: CL_OUT_OF_RESOURCES", each with the device label
  std::optional<std::int64_t> failing_since_ns;  // the first failure after the last good batch
};

// Records one batch at now_ns (monotonic nanoseconds): error is empty for a good batch. Returns
// the lines to print now: an error's own line the first time it appears, and the repeat counts
// once the errors' report interval has passed since the last report.
std::vector<std::string> record_batch(BatchFailures& failures, std::string_view error, std::int64_t now_ns);

// True once every batch since the first failure has failed, for lost_after_seconds or more.
bool device_lost(const BatchFailures& failures, std::int64_t now_ns);

// The repeat counts not reported yet, one line per error; the counts start again from zero.
std::vector<std::string> unreported_failures(BatchFailures& failures);

// The line that ends a run whose every device is lost.
std::string device_lost_line(double lost_after_seconds);
