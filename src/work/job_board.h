#pragma once
// The one hand-over point between a work source and the device threads. The source publishes
// work by setting make_job; each device takes jobs by value through take_job, calling the
// source's job maker under the board's mutex, and hands found nonces and used-up jobs back.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "work/device_job.h"

// A device asking for its next job, with what it did of the one before.
struct JobRequest {
  std::size_t worker_index = 0;
  std::uint64_t previous_job_id = 0;  // 0 before the device's first job
  // The nonce position after the part of the previous job searched without a gap from its first
  // nonce (its nonce_end once all of it was searched, but for less than a work-group at the end).
  std::uint64_t previous_searched_end = 0;
};

// A source's job maker: the next job for the device that asks, or nothing (the device waits).
using JobMaker = std::function<std::optional<DeviceJob>(const JobRequest& request)>;

struct JobBoard {
  std::mutex mutex;
  std::condition_variable work_changed;    // devices wait here for work
  std::condition_variable source_wanted;   // the source waits here for results
  // The source's job maker, called under mutex for the device that asks; nothing while the
  // source has no usable work yet. Each call returns a job no other call returned.
  JobMaker make_job;
  std::deque<FoundNonce> found;  // under mutex, oldest first
  bool refresh_wanted = false;   // under mutex: a device used up a job's nonce space
  bool source_poked = false;     // under mutex: a helper thread of the source has news for it

  // Read between launches without the lock.
  std::atomic<std::uint64_t> generation{0};  // of the newest work; jobs of older ones are abandoned
  std::atomic<bool> closed{false};           // mining ends: devices finish their launch and return
};

// Waits until the board has work for this device (or is closed) and takes a job. A maker that
// gives the device nothing pokes the source, which may have something to say about it.
// Nothing once the board is closed.
std::optional<DeviceJob> take_job(JobBoard& board, const JobRequest& request);

// Replaces the job maker (nothing: no work until the next one) and wakes the waiting devices.
// A new generation makes every running job stale at its next launch boundary.
void publish_work(JobBoard& board, JobMaker make_job, std::uint64_t generation);

void report_found(JobBoard& board, const FoundNonce& found);
// A device searched a job's whole nonce space: the source should look for fresher work.
void report_exhausted(JobBoard& board);

// Wakes the source's wait on behalf of someone else (a helper thread of the source, a device
// with a progress line due, the stop request); what the news is, the waker leaves elsewhere.
void poke_source(JobBoard& board);

// Wakes the devices that wait on the board, so that they look again at what they wait for.
void wake_devices(JobBoard& board);

// Ends mining: devices return from take_job and leave their job after the running launch.
void close_board(JobBoard& board);

struct SourceEvents {
  std::deque<FoundNonce> found;
  bool refresh_wanted = false;
  bool poked = false;
};

// The source's wait: until a found nonce, a refresh request or a poke is waiting, the board is
// closed, or the deadline passes. Takes what was waiting off the board.
SourceEvents wait_for_source_events(JobBoard& board, std::chrono::steady_clock::time_point deadline);

// After the board is closed: waits until the source is poked or the deadline passes, and takes
// the poke. True when it was poked.
bool wait_for_poke(JobBoard& board, std::chrono::steady_clock::time_point deadline);
