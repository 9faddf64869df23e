#include "work/device_worker.h"

#include <utility>

namespace {

// Batches of one job until it ends; returns after reporting what ended it.
void search_job(DeviceWorker& worker, JobBoard& board, const DeviceJob& job, const BatchObserver& observer) {
  gpu_set_job(*worker.gpu, job.midstate.state, job.target);
  std::uint32_t nonce = 0;
  while (!board.closed && board.tip == job.tip) {
    const BatchResult batch = gpu_run_batch(*worker.gpu, job.midstate.tail0, job.midstate.tail1, nonce);
    worker.stats.hashes += batch.nonces_done;
    nonce += batch.nonces_done;  // wraps modulo 2^32
    if (observer) observer(worker.index, job, nonce, batch.nonces_done);
    if (batch.found) {
      ++worker.stats.found_nonces;
      report_found(board, FoundNonce{worker.index, job.id, batch.nonce});
      return;  // a job ends with its first candidate, whatever the source makes of it
    }
    if (nonce < batch.nonces_done) {  // the advance wrapped: the nonce space is used up
      report_exhausted(board);
      return;
    }
  }
}

}  // namespace

void run_device(DeviceWorker& worker, JobBoard& board, const BatchObserver& observer) {
  while (std::optional<DeviceJob> job = take_job(board, worker.index)) {
    search_job(worker, board, *job, observer);
  }
}

void start_device(DeviceWorker& worker, JobBoard& board, BatchObserver observer) {
  worker.thread = std::thread([&worker, &board, observer = std::move(observer)] { run_device(worker, board, observer); });
}
