#include "work/batch_failures.h"

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
  return repeated_line_seen(failures.errors, failures.device_label + std::string(error), now_ns);
}

bool device_lost(const BatchFailures& failures, std::int64_t now_ns) {
  return failures.failing_since_ns && elapsed_seconds(*failures.failing_since_ns, now_ns) >= failures.lost_after_seconds;
}

std::vector<std::string> unreported_failures(BatchFailures& failures) { return unreported_repeats(failures.errors); }

std::string device_lost_line(double lost_after_seconds) {
  // A supervisor restarts a miner that exits with 1; a lost device rarely comes back by itself.
  char line[200];
  std::snprintf(line, sizeof line,
                "\n  [!] Device lost: every batch failed for %g s. Stopping with exit code 1; check the GPU and its "
                "driver, then restart the miner\n",
                lost_after_seconds);
  return line;
}
