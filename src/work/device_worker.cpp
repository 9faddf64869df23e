#include "work/device_worker.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace {

// A launch should take about this long, so that a new tip is taken within two launches (the
// running one and the one queued behind it) whatever the configured work size.
constexpr double launch_target_seconds = 0.08;
constexpr std::uint64_t nonce_space = std::uint64_t{1} << 32;
constexpr std::chrono::seconds failed_launch_pause{1};

double seconds_between(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

// Work items per launch: the configured global size, cut (in whole work-groups) when a launch
// of it takes longer than the target, and grown back (up to the global size) when launches
// are much faster.
std::uint32_t next_launch_size(const DeviceWorker& worker, std::uint32_t current, double seconds) {
  const auto group = static_cast<std::uint32_t>(gpu_local_size(*worker.gpu));
  const auto whole = static_cast<std::uint32_t>(gpu_global_size(*worker.gpu));
  if (seconds <= 0) return current;
  const double scaled = static_cast<double>(current) * launch_target_seconds / seconds;
  if (seconds < launch_target_seconds / 4 && current < whole) return std::min(whole, current * 2);
  if (seconds <= launch_target_seconds * 1.5) return current;
  const auto groups = static_cast<std::uint32_t>(std::max(1.0, scaled / group));
  return std::min(whole, groups * group);
}

std::int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Tells the device's failure tracker how a launch went, prints what it says, and marks the device
// lost once every launch has failed for device_lost_seconds.
void record_launch(DeviceWorker& worker, const std::string& error) {
  const std::int64_t now_ns = steady_now_ns();
  for (const std::string& line : record_batch(worker.failures, error, now_ns)) std::fputs(line.c_str(), stdout);
  if (device_lost(worker.failures, now_ns)) worker.lost = true;
}

struct QueuedLaunch {
  std::uint64_t start = 0;  // nonce position in the job (64-bit: the end of the space is 2^32)
  std::uint32_t items = 0;
};

// One job: launches queued back to back, so the device never waits for the host, until the job
// ends. Returns after reporting what ended it and collecting every launch still queued.
void search_job(DeviceWorker& worker, JobBoard& board, const DeviceJob& job, const BatchObserver& observer) {
  gpu_set_job(*worker.gpu, job.midstate.state, job.target);
  std::deque<QueuedLaunch> queued;
  std::uint64_t next_start = 0;
  bool ended = false;
  auto last_collect = std::chrono::steady_clock::now();
  while (true) {
    if (board.closed || board.tip != job.tip || worker.lost) ended = true;
    std::string launch_error;
    while (!ended && queued.size() < static_cast<std::size_t>(gpu_launch_slots) && next_start < nonce_space) {
      const std::uint32_t items = worker.launch_items;
      if (!gpu_queue_launch(*worker.gpu, job.midstate.tail0, job.midstate.tail1, static_cast<std::uint32_t>(next_start),
                            items, launch_error)) {
        break;
      }
      queued.push_back({next_start, items});
      next_start += std::uint64_t{items} * nonces_per_item;
    }
    if (queued.empty()) {
      if (ended) return;
      // Nothing could be queued: a failed batch that counts no nonces. The same base again
      // after a pause, which new work or the end of mining cuts short.
      record_launch(worker, launch_error);
      if (worker.lost) return;
      if (observer) observer(worker.index, job, static_cast<std::uint32_t>(next_start), 0);
      std::unique_lock lock(board.mutex);
      board.work_changed.wait_for(lock, failed_launch_pause, [&] { return board.closed || board.tip != job.tip; });
      continue;
    }

    const QueuedLaunch launch = queued.front();
    queued.pop_front();
    const BatchResult result = gpu_collect_launch(*worker.gpu);
    const auto now = std::chrono::steady_clock::now();
    // With another launch queued behind it, the device was busy with this one since the last
    // collection: that time is what one launch of this size takes.
    if (result.nonces_done != 0 && !queued.empty()) {
      worker.launch_items = next_launch_size(worker, launch.items, seconds_between(last_collect, now));
    }
    last_collect = now;
    worker.stats.hashes += result.nonces_done;
    if (ended) continue;  // collecting what was queued before the job ended
    record_launch(worker, result.error);
    if (worker.lost) {
      ended = true;
      continue;
    }
    // A failing device is not asked again in a busy loop.
    if (!result.error.empty()) std::this_thread::sleep_for(failed_batch_pause);

    if (result.nonces_done == 0) next_start = launch.start;  // search the failed range again
    const std::uint64_t end = launch.start + result.nonces_done;
    if (observer) observer(worker.index, job, static_cast<std::uint32_t>(end), result.nonces_done);
    if (result.found) {
      ++worker.stats.found_nonces;
      report_found(board, FoundNonce{worker.index, job.id, result.nonce});
      ended = true;  // a job ends with its first candidate, whatever the source makes of it
    } else if (result.nonces_done != 0 && end >= nonce_space) {
      report_exhausted(board);
      ended = true;
    }
  }
}

}  // namespace

void run_device(DeviceWorker& worker, JobBoard& board, const BatchObserver& observer) {
  worker.launch_items = static_cast<std::uint32_t>(gpu_global_size(*worker.gpu));
  while (!worker.lost) {
    const std::optional<DeviceJob> job = take_job(board, worker.index);
    if (!job) break;
    search_job(worker, board, *job, observer);
  }
}
void start_device(DeviceWorker& worker, JobBoard& board, BatchObserver observer) {
  worker.thread = std::thread([&worker, &board, observer = std::move(observer)] { run_device(worker, board, observer); });
}
