#include "stratum/job_lines.h"

bool job_line_due(JobLines& lines, bool clean, std::int64_t now_ns) {
  if (clean) return true;
  if (lines.last_other_ns && static_cast<double>(now_ns - *lines.last_other_ns) / 1e9 < lines.interval_seconds) {
    return false;
  }
  lines.last_other_ns = now_ns;
  return true;
}
