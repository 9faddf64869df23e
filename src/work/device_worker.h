#pragma once
// One thread per device: takes a job from the board, keeps launches queued on its device back to
// back, and leaves the job when it reports a nonce, uses up the nonce space, or the generation
// moves; asking for the next, it tells the source how far it searched the job. A launch is the
// device's global size, or a part of it sized to take about 0.08 s, so that new work reaches the
// device within two launches.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "work/batch_failures.h"
#include "work/job_board.h"
#include "work/launch_watchdog.h"
#include "work/mining_device.h"

// Monotonic nanoseconds; the run's clock, which tests replace.
using MonotonicClock = std::function<std::int64_t()>;

// DeviceWorker::call_started_ns between calls into the device.
inline constexpr std::int64_t no_device_call = INT64_MIN;

// Written by the device's thread only; any thread may read them at any time.
struct DeviceStats {
  std::atomic<std::uint64_t> hashes{0};        // nonces searched since mining started
  std::atomic<std::uint64_t> found_nonces{0};  // nonces reported to the work source
};

// A launch the device's thread collected.
struct LaunchReport {
  std::size_t worker_index = 0;
  const DeviceJob* job = nullptr;
  std::uint32_t next_nonce = 0;   // after the launch's range (modulo 2^32)
  std::uint32_t nonces_done = 0;  // 0 for a failed launch
  // Queued before its job ended and collected after: its nonces were searched, but nothing it
  // found counts any more.
  bool after_job_end = false;
};

// Called on the device's thread after each collected launch, and after each attempt to queue
// one that failed.
using LaunchObserver = std::function<void(const LaunchReport& launch)>;

struct DeviceWorker {
  std::size_t worker_index = 0;      // position in the run's device list; names the device in results
  MiningDevice* device = nullptr;    // used by the worker's thread only while it runs
  MonotonicClock clock;              // for the failure tracker
  std::function<void(const std::string&)> say;  // prints the failure tracker's lines
  LaunchObserver observer;           // may be empty
  double failed_batch_pause_seconds = 0.1;  // after a failed launch, so a failing device is not asked in a busy loop
  double failed_queue_pause_seconds = 1;    // nothing could be queued: the same launch again after this
  // Launches are cut to about 0.08 s so that new work is taken soon; the benchmark times full ones.
  bool adapt_launch_size = true;
  std::uint32_t launch_items = 0;  // worker's thread only: work items per launch, adapted to the device
  BatchFailures failures;          // worker's thread only while it runs
  DeviceStats stats;
  // Set by the worker's thread when every launch failed for failures.lost_after_seconds: it has
  // stopped and takes no more jobs, while the other devices go on.
  std::atomic<bool> lost{false};
  // What the run's watchdog reads: the clock when the call into the device under way began
  // (no_device_call between calls), and the median of its latest launches (0 before the first).
  std::atomic<std::int64_t> call_started_ns{no_device_call};
  std::atomic<std::int64_t> median_launch_ns{0};
  LaunchTimes launch_times;  // worker's thread only
  // Set by the run when a call into the device has not come back within the watchdog's limit:
  // should the call ever return, the thread leaves at once, and nobody waits for it.
  std::atomic<bool> hung{false};
  std::atomic<bool> finished{false};  // run_device has returned
  // Set by the run while the device is too hot: the thread lets what is queued finish and then
  // waits, queueing nothing, until the run clears it and wakes the board's waiting devices.
  std::atomic<bool> paused{false};
  // Set by the run, under call_mutex, when it gives up waiting for the thread while it is inside
  // a call into the device: should the call ever return, the thread ends at once without
  // touching the board or the run, which may be gone by then.
  std::mutex call_mutex;
  bool abandoned = false;  // under call_mutex
  std::thread thread;
};

// The worker's loop; returns when the board is closed or the device is lost or hung, and then
// pokes the source, which decides whether the others go on.
void run_device(DeviceWorker& worker, JobBoard& board);

// Starts run_device on a thread of its own.
void start_device(DeviceWorker& worker, JobBoard& board);

// After the board is closed, for a thread that has not ended: marks the worker abandoned when
// its thread is inside a call into the device, and returns true; false when it is not (it then
// ends soon, with nothing left to ask of the device but what it has queued).
bool abandon_if_in_a_device_call(DeviceWorker& worker);
