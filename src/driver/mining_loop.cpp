#include "driver/mining_loop.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "chain/address.h"
#include "chain/block.h"
#include "chain/coinbase.h"
#include "chain/hex.h"
#include "chain/sha256.h"
#include "driver/api_startup.h"
#include "driver/console.h"
#include "driver/device_workers.h"
#include "driver/hash_rate.h"
#include "driver/monotonic_clock.h"
#include "pow/block_header.h"
#include "pow/target.h"
#include "rpc/block_submission.h"
#include "rpc/block_template.h"
#include "rpc/node_failure.h"
#include "rpc/rpc_client.h"
#include "rpc/tip_poll.h"
#include "work/device_worker.h"
#include "work/job_board.h"
#include "work/longpoll_watch.h"
#include "work/solo_jobs.h"

namespace {

constexpr double node_retry_wait_seconds = 5.0;
constexpr double tip_poll_interval_seconds = 5.0;
// The progress line comes every this many batches' worth of nonces (global size x 512).
constexpr std::uint64_t status_period_per_work_item = 512;
// How soon the node's thread notices the stop flag while it waits (a signal cannot wake it).
constexpr std::chrono::milliseconds stop_check_interval{100};
// Jobs kept for their found nonces; older ones are dropped first.
constexpr std::size_t kept_jobs_limit = 4096;
constexpr std::chrono::minutes longpoll_request_timeout{10};

// The node's side of mining: everything here belongs to the thread that runs run_mining, except
// the members marked as guarded by the board's mutex, which the device threads' job maker uses.
struct SoloSource {
  const MinerOptions* options = nullptr;
  MiningStats* stats = nullptr;
  std::shared_ptr<JobBoard> board = std::make_shared<JobBoard>();  // shared with the longpoll thread
  std::vector<std::unique_ptr<DeviceWorker>> workers;
  std::vector<std::int32_t> device_ids;
  // When each device's last launch was collected, so the statistics spread a launch's hashes
  // over its own span; element d is written by device d's thread only.
  std::vector<std::int64_t> last_launch_end;
  RpcClient rpc;
  ByteVector fee_script;
  std::string last_prev_hash;
  std::uint64_t tip = 0;
  std::int64_t start_time = 0;
  std::optional<std::int64_t> last_tip_poll;  // unset until the first job is out
  bool coinbase_cut_reported = false;
  bool extra_nonce_cut_reported = false;
  std::string last_template_cause;          // the cause line shown last; cleared by a usable template
  std::string tip_poll_cause;               // why the best-block poll fails; empty while it works
  std::set<std::size_t> lost_reported;      // workers whose loss has been said
  std::shared_ptr<LongpollWatch> longpoll;  // null while no longpoll runs
  std::string current_longpoll_id;          // of the template the devices mine
  std::uint64_t height = 0;                 // of the template the devices mine

  // Guarded by board.mutex.
  ExtraNonceCounter extra_nonces;
  std::uint64_t next_job_id = 1;
  std::map<std::uint64_t, SoloJob> jobs;
};

bool several_devices(const SoloSource& source) { return source.workers.size() > 1; }

bool every_device_lost(SoloSource& source) {
  return ::every_device_lost(source.workers, source.device_ids, source.lost_reported, *source.stats);
}

std::uint64_t total_hashes(const SoloSource& source) {
  std::uint64_t total = 0;
  for (const auto& worker : source.workers) total += worker->stats.hashes;
  return total;
}

double rate_since_start(const SoloSource& source, std::uint64_t hashes) {
  return static_cast<double>(hashes) / elapsed_seconds(source.start_time, monotonic_now_ns());
}

// The progress line after a device's batch: the whole run's average rate; with several devices
// also each device's own.
void print_status(const SoloSource& source, const DeviceJob& job, std::uint32_t next_nonce) {
  const unsigned long long accepted = source.board->accepted_blocks;
  if (!several_devices(source)) {
    std::printf("\r  [%s] h=%llu n=%u blk=%llu   ", format_hash_rate(rate_since_start(source, total_hashes(source))).c_str(),
                static_cast<unsigned long long>(job.height), next_nonce, accepted);
    std::fflush(stdout);
    return;
  }
  std::string line = "\r  [" + format_hash_rate(rate_since_start(source, total_hashes(source))) +
                     "] h=" + std::to_string(job.height) + " blk=" + std::to_string(accepted);
  for (std::size_t index = 0; index < source.workers.size(); ++index) {
    line += "  #" + std::to_string(source.device_ids[index]) + " " +
            format_hash_rate(rate_since_start(source, source.workers[index]->stats.hashes));
  }
  std::printf("%s   ", line.c_str());
  std::fflush(stdout);
}

void start_devices(SoloSource& source) {
  const auto global_size = static_cast<std::uint64_t>(source.options->global_work_size);
  const std::uint64_t status_period = global_size * status_period_per_work_item;
  // A period that does not fit in 32 bits (or is zero) would never match: print after every batch.
  const bool status_every_batch = status_period == 0 || status_period > UINT32_MAX;
  for (auto& worker : source.workers) {
    start_device(*worker, *source.board,
                 [&source, status_every_batch, status_period](std::size_t device, const DeviceJob& job,
                                                              std::uint32_t next_nonce, std::uint32_t done) {
                   record_launch(*source.stats, source.device_ids[device], source.last_launch_end[device], done);
                   // Once per period of nonces: when a launch reaches or crosses a multiple of it
                   // (a failed launch: when the nonce stands on one).
                   if (status_every_batch) return print_status(source, job, next_nonce);
                   const std::uint32_t previous = next_nonce - done;  // wraps modulo 2^32
                   const std::uint64_t into_period = previous % status_period;
                   if (done == 0 ? into_period == 0 : into_period + done >= status_period) {
                     print_status(source, job, next_nonce);
                   }
                 });
  }
}

// Every job on the current tip becomes stale at its next batch; devices wait for new work.
void withdraw_work(SoloSource& source) { publish_work(*source.board, {}, ++source.tip); }

// The block's id as the node shows it: double SHA-256 of the header, reversed.
std::string block_id_text(const BlockHeader& header) {
  Hash256 digest{};
  double_sha256(header.data(), header.size(), digest.data());
  std::reverse(digest.begin(), digest.end());
  return hex_encode(digest.data(), digest.size());
}

// Re-checks a found nonce on the CPU and submits the block when it holds. Returns false for a
// nonce of a stale job, which is dropped.
bool handle_found(SoloSource& source, const FoundNonce& found) {
  std::optional<SoloJob> job;
  {
    std::lock_guard lock(source.board->mutex);
    const auto entry = source.jobs.find(found.job_id);
    if (entry != source.jobs.end()) job = entry->second;
  }
  // A block on a tip the chain has left would only be refused as stale.
  if (!job || job->tip != source.tip) return false;
  store_u32_le(job->header.data() + header_nonce_offset, found.nonce);
  const PowHash hash = pow_hash(job->header);
  const std::string device_text =
      several_devices(source) ? " on device " + std::to_string(source.device_ids[found.device]) : "";
  const std::int32_t device_id = source.device_ids[found.device];
  if (!hash_meets_target(hash, job->target)) {
    std::printf("  [!] CPU rejected hash%s\n", device_text.c_str());
    stats_record_cpu_rejected(*source.stats, device_id);
    return true;
  }
  std::printf("\n  [*] BLOCK FOUND%s! Nonce=%u Hash=%s\n", device_text.c_str(), found.nonce,
              hex_encode(hash.data(), hash.size()).c_str());
  const std::string block = block_hex(job->header, job->coinbase, *job->transaction_data);
  std::printf("  [*] Submitting...\n");
  const SubmitResult result = submit_block(source.rpc, block);
  FoundBlockRecord record;
  record.time = unix_time_now();
  record.height = source.height;  // the job's tip is the current one, so is its height
  record.hash = block_id_text(job->header);
  record.pow_hash = hex_encode(hash.data(), hash.size());
  record.device = device_id;
  record.accepted = result.accepted;
  if (!result.accepted) record.reason = result.reason;
  stats_record_block(*source.stats, record);
  if (result.accepted) {
    ++source.board->accepted_blocks;
    withdraw_work(source);  // the chain moved on to this block
    std::printf("  [+] ACCEPTED!\n\n");
  } else {
    std::printf("  [!] REJECTED\n\n");
    std::printf("  [!] Reason: %s\n", result.reason.c_str());
  }
  return true;
}

// Serves found nonces until the time is up or a stop is requested.
void wait_serving(SoloSource& source, double seconds) {
  const std::int64_t start = monotonic_now_ns();
  while (!g_stop_requested && !every_device_lost(source) && elapsed_seconds(start, monotonic_now_ns()) < seconds) {
    for (const FoundNonce& found : wait_for_source_events(*source.board, stop_check_interval).found) {
      handle_found(source, found);
    }
  }
}

// Says when the best-block poll starts failing or its cause changes, and when it works again; a
// node that stops answering would otherwise go unnoticed until the next template request.
void report_tip_poll(SoloSource& source, const std::string& cause) {
  if (cause == source.tip_poll_cause) return;
  if (cause.empty()) {
    std::printf("\n  [*] Best-block poll works again\n");
  } else {
    std::printf("\n  [!] Best-block poll failed: %s\n", cause.c_str());
  }
  source.tip_poll_cause = cause;
}

// The node's state for the monitoring API: the failure's description (or the fallback text when it
// has none), and whether the node answered at all.
void record_node_failure(SoloSource& source, const NodeFailure& failure, const std::string& fallback) {
  const std::string cause = describe_node_failure(failure);
  const bool answered = failure.kind == NodeFailureKind::http_status || failure.kind == NodeFailureKind::rpc_error ||
                        failure.kind == NodeFailureKind::bad_reply;
  stats_record_node_failure(*source.stats, cause.empty() ? fallback : cause, answered, unix_time_now());
}

// True when the node reports a best block other than the one the work builds on.
bool tip_moved(SoloSource& source) {
  const std::int64_t now = monotonic_now_ns();
  if (!source.last_tip_poll) source.last_tip_poll = now;
  if (elapsed_seconds(*source.last_tip_poll, now) < tip_poll_interval_seconds) return false;
  source.last_tip_poll = now;  // before the request, so a failing node is asked again only later
  try {
    const std::string best = get_best_block_hash(source.rpc);
    report_tip_poll(source, {});
    stats_record_node_reachable(*source.stats);
    return !best.empty() && best != source.last_prev_hash;
  } catch (const NodeRequestError& error) {
    // A stop abandons the request; that is no fault of the node's.
    if (error.failure.kind != NodeFailureKind::abandoned) {
      report_tip_poll(source, describe_node_failure(error.failure));
      record_node_failure(source, error.failure, error.what());
    }
  } catch (const std::exception& error) {
    report_tip_poll(source, error.what());
    record_node_failure(source, NodeFailure{}, error.what());
  }
  return false;  // a failed poll changes nothing; the next one comes 5 s later
}

// Starts the longpoll once the node names its templates, unless it is switched off.
void watch_template_changes(SoloSource& source, const std::string& longpoll_id) {
  if (!source.options->longpoll || longpoll_id.empty()) return;
  if (!source.longpoll) {
    RpcClient client;
    try {
      client = rpc_client_open(source.options->rpc_url, source.options->rpc_user, source.options->rpc_password,
                               RpcClientOptions{source.options->rpc_cookie, &g_stop_requested});
    } catch (const std::exception&) {
      return;  // the 5 s tip poll stays in charge
    }
    // The node holds the request until something changes: only a long silence is a failure.
    client.connection->timeouts.request = longpoll_request_timeout;
    source.longpoll = std::make_shared<LongpollWatch>();
    source.longpoll->board = source.board;
    start_longpoll(source.longpoll, std::move(client));
  }
  longpoll_set_id(*source.longpoll, longpoll_id);
}

// What the longpoll brought, if anything: true when a template other than the one in hand
// came in, with its previous block hash.
std::optional<std::string> template_changed(SoloSource& source) {
  if (!source.longpoll) return std::nullopt;
  std::lock_guard lock(source.longpoll->mutex);
  if (!std::exchange(source.longpoll->changed, false)) return std::nullopt;
  if (source.longpoll->changed_longpoll_id == source.current_longpoll_id) return std::nullopt;
  return source.longpoll->changed_previous_block;
}

bool longpoll_healthy(SoloSource& source) {
  if (!source.longpoll) return false;
  std::lock_guard lock(source.longpoll->mutex);
  return !source.longpoll->failing;
}

// While the devices mine the published work: returns when the node's thread should fetch a new
// template (a found nonce was handled, a job used up its nonce space, the tip or the transaction
// set changed) or on stop.
void serve_until_new_template_needed(SoloSource& source) {
  if (!source.last_tip_poll) source.last_tip_poll = monotonic_now_ns();
  while (!g_stop_requested && !every_device_lost(source)) {
    const SourceEvents events = wait_for_source_events(*source.board, stop_check_interval);
    bool handled = false;
    for (const FoundNonce& found : events.found) handled = handle_found(source, found) || handled;
    if (handled || events.refresh_wanted) return;
    if (const std::optional<std::string> previous_block = template_changed(source)) {
      if (*previous_block != source.last_prev_hash) {
        std::printf("\n  [*] New block\n");
        withdraw_work(source);
      }
      return;  // new transactions on the same tip: devices take them at their next job
    }
    // The longpoll, while it works, replaces the tip poll; its working again means the node
    // answers again.
    if (longpoll_healthy(source)) {
      report_tip_poll(source, {});
    } else if (tip_moved(source)) {
      std::printf("\n  [*] New block\n");
      withdraw_work(source);
      return;
    }
  }
}

// Makes the template the devices' work. A new tip makes every running job stale at once.
void publish_template(SoloSource& source, std::shared_ptr<const SoloWork> work) {
  auto make_job = [&source, work](std::size_t device) -> std::optional<DeviceJob> {
    const auto extra_nonce = next_extra_nonce(source.extra_nonces, device, source.workers.size(), work->previous_block);
    SoloJob solo = build_solo_job(*work, extra_nonce);
    DeviceJob job;
    job.id = source.next_job_id++;
    job.tip = work->tip;
    job.height = work->height;
    job.header = solo.header;
    job.midstate = compute_midstate(solo.header);
    job.target = work->target;
    source.jobs.emplace(job.id, std::move(solo));
    while (source.jobs.size() > kept_jobs_limit) source.jobs.erase(source.jobs.begin());
    return job;
  };
  {
    // Found nonces of older tips are dropped anyway.
    std::lock_guard lock(source.board->mutex);
    std::erase_if(source.jobs, [&](const auto& entry) { return entry.second.tip != work->tip; });
  }
  publish_work(*source.board, std::move(make_job), work->tip);
}

void report_coinbase_cut(SoloSource& source, std::uint64_t height) {
  const std::size_t length = source.options->coinbase.size();
  const std::size_t kept = coinbase_text_kept_length(height, length);
  if (kept < length && !source.coinbase_cut_reported) {
    std::printf("  [!] Coinbase text cut to %zu bytes\n", kept);
    source.coinbase_cut_reported = true;
  }
  const std::size_t kept_with_extra_nonce = coinbase_text_kept_length(height, length, true);
  if (kept_with_extra_nonce < kept && !source.extra_nonce_cut_reported) {
    std::printf("  [!] Coinbase text cut to %zu bytes in jobs with an extra nonce\n", kept_with_extra_nonce);
    source.extra_nonce_cut_reported = true;
  }
}

// Says why the node gave no template: when a cause first appears and when it changes, not on
// every retry.
void report_template_failure(SoloSource& source, const NodeFailure& failure) {
  const std::string cause = describe_node_failure(failure);
  if (cause.empty() || cause == source.last_template_cause) return;
  source.last_template_cause = cause;
  std::printf("  [!] Cause: %s\n", cause.c_str());
}

// Device threads finish their running batch and end.
void stop_devices(SoloSource& source) { stop_device_workers(*source.board, source.workers); }

void close_mining(SoloSource& source) {
  stop_devices(source);
  if (source.longpoll) stop_longpoll(*source.longpoll);
  for (auto& worker : source.workers) gpu_miner_release(worker->gpu);
  rpc_client_close(source.rpc);
}

}  // namespace

int run_mining(const MinerOptions& options, const std::vector<MiningDevice>& devices, MiningStats& stats) {
  SoloSource source;
  source.options = &options;
  source.stats = &stats;
  source.fee_script = address_to_script(dev_fee_address);
  if (source.fee_script.empty()) {
    std::printf("  [!] WARNING: Dev fee address decode failed\n");
  } else {
    std::printf("  [*] Dev fee: 1%% per block (%zu-byte script)\n", source.fee_script.size());
  }

  try {
    source.rpc = rpc_client_open(options.rpc_url, options.rpc_user, options.rpc_password,
                                 RpcClientOptions{options.rpc_cookie, &g_stop_requested});
  } catch (const std::exception& error) {
    std::printf("  [!] RPC error: %s\n", error.what());
    release_devices(devices);
    return 1;
  }
  source.start_time = monotonic_now_ns();
  stats_start(stats, source.start_time);
  stats_set_node_url(stats, options.rpc_url);
  add_device_workers(devices, source.workers, source.device_ids);
  source.last_launch_end.assign(devices.size(), source.start_time);
  add_devices_to_stats(stats, options.platform_id, devices);
  start_devices(source);

  while (!g_stop_requested && !every_device_lost(source)) {
    std::printf("  [*] Requesting block template...\n");
    BlockTemplate tmpl;
    try {
      tmpl = get_block_template(source.rpc);
    } catch (const std::exception& error) {
      std::printf("  [!] RPC error: %s\n", error.what());
      stats_record_node_failure(stats, error.what(), false, unix_time_now());
      wait_serving(source, node_retry_wait_seconds);
      continue;
    }
    // A stop abandoned the request: there is nothing to report or wait for.
    if (tmpl.failure.kind == NodeFailureKind::abandoned) continue;
    if (!tmpl.valid) {
      std::printf("  [!] Invalid template\n");
      report_template_failure(source, tmpl.failure);
      record_node_failure(source, tmpl.failure, "no valid block template");
      wait_serving(source, node_retry_wait_seconds);
      continue;
    }
    source.last_template_cause.clear();
    if (tmpl.previous_block_hash != source.last_prev_hash) {
      source.last_prev_hash = tmpl.previous_block_hash;
      ++source.tip;
      std::printf("  [+] Height %llu\n", static_cast<unsigned long long>(tmpl.height));
    }

    ByteVector payout_script = address_to_script(options.address);
    if (payout_script.empty()) {
      std::printf("  [!] Bad address\n");
      close_mining(source);
      return 1;
    }

    std::optional<SoloWork> work =
        prepare_solo_work(tmpl, source.tip, std::move(payout_script), source.fee_script, options.coinbase);
    if (!work) {
      std::printf("  [!] Invalid template\n");
      wait_serving(source, node_retry_wait_seconds);
      continue;
    }
    report_coinbase_cut(source, work->height);
    const double difficulty = difficulty_from_target(work->target);
    const auto height = static_cast<unsigned long long>(work->height);
    source.height = work->height;
    stats_record_template(stats, work->height, tmpl.previous_block_hash, monotonic_now_ns());
    std::printf("  [*] Mining h=%llu diff=%.2f\n", height, difficulty);
    publish_template(source, std::make_shared<const SoloWork>(std::move(*work)));
    source.current_longpoll_id = tmpl.longpoll_id;
    watch_template_changes(source, tmpl.longpoll_id);
    serve_until_new_template_needed(source);
  }

  stop_devices(source);
  if (every_device_lost(source)) {
    print_devices_lost(source.workers);
    close_mining(source);
    return 1;
  }
  std::printf("\n  [*] Done. %llu hashes, %llu blocks\n", static_cast<unsigned long long>(total_hashes(source)),
              static_cast<unsigned long long>(source.board->accepted_blocks.load()));
  std::printf("%s\n", run_summary_line(total_hashes(source), elapsed_seconds(source.start_time, monotonic_now_ns())).c_str());
  close_mining(source);
  return 0;
}
