#include "work/job_board.h"

#include <utility>

std::optional<DeviceJob> take_job(JobBoard& board, const JobRequest& request) {
  std::unique_lock lock(board.mutex);
  while (!board.closed) {
    if (board.make_job) {
      if (std::optional<DeviceJob> job = board.make_job(request)) return job;
      board.source_poked = true;
      board.source_wanted.notify_all();
    }
    board.work_changed.wait(lock);
  }
  return std::nullopt;
}

void publish_work(JobBoard& board, JobMaker make_job, std::uint64_t generation) {
  {
    std::lock_guard lock(board.mutex);
    board.make_job = std::move(make_job);
    board.generation = generation;
  }
  board.work_changed.notify_all();
}

void report_found(JobBoard& board, const FoundNonce& found) {
  {
    std::lock_guard lock(board.mutex);
    board.found.push_back(found);
  }
  board.source_wanted.notify_all();
}

void report_exhausted(JobBoard& board) {
  {
    std::lock_guard lock(board.mutex);
    board.refresh_wanted = true;
  }
  board.source_wanted.notify_all();
}

void poke_source(JobBoard& board) {
  {
    std::lock_guard lock(board.mutex);
    board.source_poked = true;
  }
  board.source_wanted.notify_all();
}

void wake_devices(JobBoard& board) {
  // Through the mutex, so that a device between its look and its wait does not miss it.
  { std::lock_guard lock(board.mutex); }
  board.work_changed.notify_all();
}

void close_board(JobBoard& board) {
  {
    std::lock_guard lock(board.mutex);
    board.closed = true;
  }
  board.work_changed.notify_all();
  board.source_wanted.notify_all();
}

SourceEvents wait_for_source_events(JobBoard& board, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(board.mutex);
  board.source_wanted.wait_until(lock, deadline,
                               [&] {
    return board.closed || !board.found.empty() || board.refresh_wanted || board.source_poked;
  });
  SourceEvents events;
  events.found.swap(board.found);
  events.refresh_wanted = std::exchange(board.refresh_wanted, false);
  events.poked = std::exchange(board.source_poked, false);
  return events;
}

bool wait_for_poke(JobBoard& board, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(board.mutex);
  board.source_wanted.wait_until(lock, deadline, [&] { return board.source_poked; });
  return std::exchange(board.source_poked, false);
}
