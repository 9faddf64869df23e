#pragma once
// The jobs a work source has handed to devices, kept with what the source needs to turn a found
// nonce of one into a block or a share. A source keeps them under the job board's mutex (its job
// maker runs on the devices' threads); the oldest go first beyond kept_jobs_limit.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>

#include "work/device_job.h"

inline constexpr std::size_t kept_jobs_limit = 4096;

template <typename Details>
struct KeptJobs {
  std::uint64_t next_id = 1;
  std::map<std::uint64_t, Details> jobs;
};

// Gives the job the next id and keeps the details under it. Returns the job.
template <typename Details>
DeviceJob keep_job(KeptJobs<Details>& kept, DeviceJob job, Details details) {
  job.id = kept.next_id++;
  kept.jobs.emplace(job.id, std::move(details));
  while (kept.jobs.size() > kept_jobs_limit) kept.jobs.erase(kept.jobs.begin());
  return job;
}

template <typename Details>
std::optional<Details> find_kept_job(const KeptJobs<Details>& kept, std::uint64_t job_id) {
  const auto entry = kept.jobs.find(job_id);
  if (entry == kept.jobs.end()) return std::nullopt;
  return entry->second;
}

template <typename Details, typename Predicate>
void drop_kept_jobs_if(KeptJobs<Details>& kept, Predicate drop) {
  std::erase_if(kept.jobs, [&](const auto& entry) { return drop(entry.second); });
}
