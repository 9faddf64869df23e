#include "work/batch_failures.h"

#include <algorithm>

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
  if (elapsed_seconds(failures.last_report_ns, now_ns) < failure_report_interval_seconds) return {};
  failures.last_report_ns = now_ns;
  return unreported_failures(failures);
}

bool device_lost(const BatchFailures& failures, std::int64_t now_ns) {
  return failures.failing_since_ns && elapsed_seconds(*failures.failing_since_ns, now_ns) >= device_lost_seconds;
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
