#include "work/batch_failures.h"

#include <algorithm>
#include <cstdio>

namespace {

double elapsed_seconds(std::int64_t start_ns, std::int64_t end_ns) { return static_cast<double>(end_ns - start_ns) / 1e9; }

}  // namespace

std::vector<std::string> record_batch(BatchFailures& failures, std::string_view error, std::int64_t now_ns) {
  if (error.empty()) {
    failures.failing_since_ns.reset();
    return {};
  }
  if (!failures.failing_since_ns) failures.failing_since_ns = now_ns;

  const auto known = std::find_if(failures.errors.begin(), failures.errors.end(),
                                  [error](const BatchFailures::Error& seen) { return seen.text == error; });
  if (known == failures.errors.end()) {
    failures.errors.push_back({std::string(error), 0});
    failures.last_report_ns = now_ns;
    return {"  [!] " + failures.device_label + std::string(error) + "\n"};
  }
  ++known->unreported;
  if (elapsed_seconds(failures.last_report_ns, now_ns) < failures.report_interval_seconds) return {};
  failures.last_report_ns = now_ns;
  return unreported_failures(failures);
}

bool device_lost(const BatchFailures& failures, std::int64_t now_ns) {
  return failures.failing_since_ns && elapsed_seconds(*failures.failing_since_ns, now_ns) >= failures.lost_after_seconds;
}

std::vector<std::string> unreported_failures(BatchFailures& failures) {
  std::vector<std::string> lines;
  for (BatchFailures::Error& error : failures.errors) {
    if (error.unreported == 0) continue;
    // On a line of its own: a progress line without a line end may be showing.
    lines.push_back("\n  [!] " + failures.device_label + error.text + " (repeated " + std::to_string(error.unreported) +
                    " times)\n");
    error.unreported = 0;
  }
  return lines;
}

std::string device_lost_line(double lost_after_seconds) {
  // A supervisor restarts a miner that exits with 1; a lost device rarely comes back by itself.
  char line[200];
  std::snprintf(line, sizeof line,
                "\n  [!] Device lost: every batch failed for %g s. Stopping with exit code 1; check the GPU and its "
                "driver, then restart the miner\n",
                lost_after_seconds);
  return line;
}
