#pragma once
// Which new jobs get a console line. A pool may send several jobs a second; the user needs to
// see new work that ends the old (a clean job, usually a new block), not every refresh of it.

#include <cstdint>
#include <optional>

struct JobLines {
  double interval_seconds = 60;  // jobs that are not clean get a line at most this often
  std::optional<std::int64_t> last_other_ns;  // when the last such line was told
};

// A new job at now_ns (monotonic nanoseconds): true when it gets its line. Every clean job does;
// of the others the first does, then one at most once per interval.
bool job_line_due(JobLines& lines, bool clean, std::int64_t now_ns);
