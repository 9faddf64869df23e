#include "work/device_worker.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>

namespace {

// A launch should take about this long, so that new work is taken within two launches (the
// running one and the one queued behind it) whatever the configured work size.
constexpr double launch_target_seconds = 0.08;

double seconds_between(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

// Work items per launch: the device's global size, cut (in whole work-groups) when a launch of
// it takes longer than the target, and grown back (up to the global size) when launches are
// much faster.
std::uint32_t next_launch_size(const DeviceWorker& worker, std::uint32_t current, double seconds) {
  const std::uint32_t group = worker.device->local_size();
  const std::uint32_t whole = worker.device->global_size();
  if (seconds <= 0) return current;
  const double scaled = static_cast<double>(current) * launch_target_seconds / seconds;
  if (seconds < launch_target_seconds / 4 && current < whole) return std::min(whole, current * 2);
  if (seconds <= launch_target_seconds * 1.5) return current;
  const auto groups = static_cast<std::uint32_t>(std::max(1.0, scaled / group));
  return std::min(whole, groups * group);
}

// Tells the device's failure tracker how a launch went, prints what it says, and marks the device
// lost once every launch has failed for the tracker's limit.
void record_launch(DeviceWorker& worker, const std::string& error) {
  const std::int64_t now_ns = worker.clock();
  for (const std::string& line : record_batch(worker.failures, error, now_ns)) worker.say(line);
  if (device_lost(worker.failures, now_ns)) worker.lost = true;
}

// Thrown on a device's thread when a call into the device returns after the run abandoned the
// worker: the thread unwinds its own locals and ends.
struct WorkerAbandoned {};

// Runs one call into the device with its start time published for the watchdog.
template <typename Call>
auto watched_call(DeviceWorker& worker, Call call) {
  {
    std::lock_guard lock(worker.call_mutex);
    worker.call_started_ns = worker.clock();
  }
  auto result = call();
  std::lock_guard lock(worker.call_mutex);
  if (worker.abandoned) throw WorkerAbandoned{};
  worker.call_started_ns = no_device_call;
  return result;
}

bool job_is_stale(const JobBoard& board, const DeviceJob& job) {
  return board.closed || board.generation != job.generation;
}

// While the run keeps the device paused: waits until it resumes it, or new work or the end of
// mining comes.
void wait_while_paused(DeviceWorker& worker, JobBoard& board, const DeviceJob& job) {
  std::unique_lock lock(board.mutex);
  board.work_changed.wait(lock, [&] { return !worker.paused || job_is_stale(board, job); });
}

// Waits the pause unless new work or the end of mining comes first.
void pause_unless_work_changes(JobBoard& board, const DeviceJob& job, double seconds) {
  std::unique_lock lock(board.mutex);
  board.work_changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return job_is_stale(board, job); });
}

struct QueuedLaunch {
  std::uint64_t start = 0;  // nonce position in the job (64-bit: the end of the space is 2^32)
  std::uint32_t items = 0;
};

// Work items of a launch from start: the worker's launch size, cut to the whole work-groups that
// end within the job's nonces, since a launch past its end would search another device's slice or
// wrap around past 2^32 to nonces the header may have been searched for already. 0 when not even
// one work-group fits.
std::uint32_t items_within_job(const DeviceWorker& worker, const DeviceJob& job, std::uint64_t start) {
  const std::uint64_t group = worker.device->local_size();
  const std::uint64_t end = std::min(job.nonce_end, nonce_space);
  const std::uint64_t groups_left = (end - std::min(start, end)) / (group * nonces_per_item);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(worker.launch_items, groups_left * group));
}

// One job: launches queued back to back from its first nonce, so the device never waits for the
// host, until the job ends. Returns after reporting what ended it and collecting every launch
// still queued, with the nonce position up to which the job was searched without a gap. A
// launch counts (its nonces as searched, its nonce as found) only when it starts where that part
// ends: the launches queued behind a failed one are searched again after it.
std::uint64_t search_job(DeviceWorker& worker, JobBoard& board, const DeviceJob& job) {
  MiningDevice& device = *worker.device;
  watched_call(worker, [&] {
    device.set_job(job.midstate.state, job.target);
    return true;
  });
  std::deque<QueuedLaunch> queued;
  std::uint64_t next_start = job.first_nonce;
  std::uint64_t searched_end = job.first_nonce;
  bool ended = false;
  auto last_collect = std::chrono::steady_clock::now();
  while (true) {
    if (worker.hung) return searched_end;  // nothing more is asked of it, not even what is queued
    if (job_is_stale(board, job) || worker.lost) ended = true;
    if (!ended && items_within_job(worker, job, searched_end) == 0) {
      // Less than a work-group is left: it stays unsearched, and the job counts as used up.
      searched_end = job.nonce_end;
      report_exhausted(board);
      ended = true;
    }
    std::string launch_error;
    while (!ended && !worker.paused && queued.size() < static_cast<std::size_t>(device.launch_slots())) {
      const std::uint32_t items = items_within_job(worker, job, next_start);
      if (items == 0) break;
      if (!watched_call(worker, [&] {
            return device.queue_launch(job.midstate.tail0, job.midstate.tail1, static_cast<std::uint32_t>(next_start),
                                       items, launch_error);
          })) {
        break;
      }
      queued.push_back({next_start, items});
      next_start += std::uint64_t{items} * nonces_per_item;
    }
    if (queued.empty()) {
      if (ended) return searched_end;
      if (worker.paused) {
        wait_while_paused(worker, board, job);
        continue;
      }
      // Nothing could be queued: a failed launch that counts no nonces. The same base again
      // after a pause, which new work or the end of mining cuts short.
      record_launch(worker, launch_error);
      if (worker.lost) return searched_end;
      if (worker.observer) worker.observer({worker.worker_index, &job, static_cast<std::uint32_t>(next_start), 0, false});
      pause_unless_work_changes(board, job, worker.failed_queue_pause_seconds);
      continue;
    }

    const QueuedLaunch launch = queued.front();
    queued.pop_front();
    const std::int64_t collect_start_ns = worker.clock();
    const BatchResult result = watched_call(worker, [&] { return device.collect_launch(); });
    if (worker.hung) return searched_end;
    if (result.nonces_done != 0) {
      record_launch_time(worker.launch_times, worker.clock() - collect_start_ns);
      worker.median_launch_ns = median_launch_time_ns(worker.launch_times);
    }
    const auto now = std::chrono::steady_clock::now();
    // With another launch queued behind it, the device was busy with this one since the last
    // collection: that time is what one launch of this size takes.
    if (worker.adapt_launch_size && result.nonces_done != 0 && !queued.empty()) {
      worker.launch_items = next_launch_size(worker, launch.items, seconds_between(last_collect, now));
    }
    last_collect = now;
    worker.stats.hashes += result.nonces_done;
    const std::uint64_t end = launch.start + result.nonces_done;
    const bool continues_search = result.nonces_done != 0 && launch.start == searched_end;
    if (continues_search) searched_end = end;
    if (ended) {
      // Collecting what was queued before the job ended: searched, but nothing it found counts.
      if (worker.observer && result.nonces_done != 0) {
        worker.observer({worker.worker_index, &job, static_cast<std::uint32_t>(end), result.nonces_done, true});
      }
      continue;
    }
    record_launch(worker, result.error);
    if (worker.lost) {
      ended = true;
      continue;
    }
    if (!result.error.empty()) pause_unless_work_changes(board, job, worker.failed_batch_pause_seconds);

    if (result.nonces_done == 0) next_start = searched_end;  // search again from the failed range on
    if (worker.observer) {
      worker.observer({worker.worker_index, &job, static_cast<std::uint32_t>(end), result.nonces_done, false});
    }
    if (continues_search && result.found) {
      ++worker.stats.found_nonces;
      report_found(board, FoundNonce{worker.worker_index, job.id, result.nonce});
      ended = true;  // a job ends with its first candidate, whatever the source makes of it
    }
  }
}

}  // namespace

void run_device(DeviceWorker& worker, JobBoard& board) {
  worker.launch_items = worker.device->global_size();
  JobRequest request{worker.worker_index, 0, 0};
  while (!worker.lost && !worker.hung) {
    const std::optional<DeviceJob> job = take_job(board, request);
    if (!job) break;
    request.previous_job_id = job->id;
    request.previous_searched_end = search_job(worker, board, *job);
  }
  worker.finished = true;
  poke_source(board);
}

void start_device(DeviceWorker& worker, JobBoard& board) {
  worker.thread = std::thread([&worker, &board] {
    try {
      run_device(worker, board);
    } catch (const WorkerAbandoned&) {
      // Left behind: the board and the run may be gone.
    }
  });
}

bool abandon_if_in_a_device_call(DeviceWorker& worker) {
  std::lock_guard lock(worker.call_mutex);
  if (worker.call_started_ns == no_device_call) return false;
  worker.abandoned = true;
  return true;
}
