#include "driver/mining_loop.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "chain/address.h"
#include "chain/block.h"
#include "chain/coinbase.h"
#include "chain/hex.h"
#include "chain/merkle.h"
#include "chain/sha256.h"
#include "driver/api_startup.h"
#include "driver/console.h"
#include "driver/hash_rate.h"
#include "driver/monotonic_clock.h"
#include "pow/block_header.h"
#include "pow/target.h"
#include "rpc/block_submission.h"
#include "rpc/block_template.h"
#include "rpc/rpc_client.h"
#include "rpc/tip_poll.h"

namespace {

constexpr int node_retry_wait_seconds = 5;
constexpr double tip_poll_interval_seconds = 5.0;
// The progress line comes every this many batches' worth of nonces (global size x 512).
constexpr std::uint64_t status_period_per_work_item = 512;

struct MiningContext {
  GpuMiner* gpu = nullptr;
  MiningStats* stats = nullptr;
  int device_index = 0;
  RpcClient rpc;
  ByteVector fee_script;
  std::string last_prev_hash;
  std::uint64_t total_hashes = 0;
  std::uint64_t accepted_blocks = 0;
  std::int64_t start_time = 0;
  std::optional<std::int64_t> last_tip_poll;  // unset until the poll step is first reached
  bool coinbase_cut_reported = false;
  std::string last_template_cause;  // the cause line shown last; cleared by a usable template
};

struct MiningJob {
  BlockTemplate tmpl;
  ByteVector coinbase_tx;
  std::vector<std::string> tx_data;
  BlockHeader header{};
  Midstate midstate;
  Target256 target;
  std::uint32_t nonce = 0;
  bool found = false;
};

std::optional<Hash256> to_hash256(const ByteVector& bytes) {
  if (bytes.size() != Hash256{}.size()) return std::nullopt;
  Hash256 hash{};
  std::copy(bytes.begin(), bytes.end(), hash.begin());
  return hash;
}

// Coinbase, merkle root, header, midstate and target of one template. Returns nothing when a
// hash of the template does not have 32 bytes (the template check normally refuses those).
std::optional<MiningJob> build_job(MiningContext& context, const MinerOptions& options, BlockTemplate tmpl,
                                   const ByteVector& payout_script) {
  MiningJob job;
  job.tmpl = std::move(tmpl);
  const BlockTemplate& t = job.tmpl;

  const ByteVector commitment = t.witness_commitment.empty() ? ByteVector{} : hex_decode(t.witness_commitment);
  const auto height = static_cast<std::uint64_t>(t.height);
  const std::size_t kept = coinbase_text_kept_length(height, options.coinbase.size());
  if (kept < options.coinbase.size() && !context.coinbase_cut_reported) {
    std::printf("  [!] Coinbase text cut to %zu bytes\n", kept);
    context.coinbase_cut_reported = true;
  }
  job.coinbase_tx = build_coinbase(height, t.coinbase_value, payout_script, options.coinbase, commitment,
                                   context.fee_script, dev_fee_percent);

  std::vector<ByteVector> leaves{transaction_id(job.coinbase_tx)};
  for (const TemplateTransaction& transaction : t.transactions) {
    if (!transaction.txid.empty()) leaves.push_back(hash_from_text(transaction.txid));
    if (!transaction.data.empty()) job.tx_data.push_back(transaction.data);
  }
  for (const ByteVector& leaf : leaves) {
    if (leaf.size() != Hash256{}.size()) return std::nullopt;
  }
  const auto root = to_hash256(merkle_root(leaves));
  const auto previous = to_hash256(hash_from_text(t.previous_block_hash));
  if (!root || !previous) return std::nullopt;

  job.header = build_header(t.version, *previous, *root, t.curtime, t.bits);
  job.midstate = compute_midstate(job.header);
  // The node's full target, when sent, wins over the compact bits.
  job.target = t.target_text.empty() ? target_from_bits(t.bits) : target_from_hex(t.target_text);
  return job;
}

// The block's id as the node shows it: double SHA-256 of the header, reversed.
std::string block_id_text(const BlockHeader& header) {
  Hash256 digest{};
  double_sha256(header.data(), header.size(), digest.data());
  std::reverse(digest.begin(), digest.end());
  return hex_encode(digest.data(), digest.size());
}

// Re-checks a reported nonce on the CPU and submits the block when it holds.
// Returns false when the CPU rejects the hash.
bool handle_candidate(MiningContext& context, MiningJob& job, std::uint32_t nonce) {
  store_u32_le(job.header.data() + header_nonce_offset, nonce);
  const PowHash hash = pow_hash(job.header);
  if (!hash_meets_target(hash, job.target)) {
    std::printf("  [!] CPU rejected hash\n");
    stats_record_cpu_rejected(*context.stats, context.device_index);
    return false;
  }
  std::printf("\n  [*] BLOCK FOUND! Nonce=%u Hash=%s\n", nonce, hex_encode(hash.data(), hash.size()).c_str());
  const std::string block = block_hex(job.header, job.coinbase_tx, job.tx_data);
  std::printf("  [*] Submitting...\n");
  const SubmitResult result = submit_block(context.rpc, block);
  FoundBlockRecord record;
  record.time = unix_time_now();
  record.height = static_cast<std::uint64_t>(job.tmpl.height);
  record.hash = block_id_text(job.header);
  record.pow_hash = hex_encode(hash.data(), hash.size());
  record.device = context.device_index;
  record.accepted = result.accepted;
  if (!result.accepted) record.reason = result.reason;
  if (result.accepted) {
    ++context.accepted_blocks;
    std::printf("  [+] ACCEPTED!\n\n");
  } else {
    std::printf("  [!] REJECTED\n\n");
    std::printf("  [!] Reason: %s\n", result.reason.c_str());
  }
  stats_record_block(*context.stats, record);
  return true;
}

// The node's state for the monitoring API: the failure's description (or the fallback text
// when it has none), and whether the node answered at all.
void record_node_failure(MiningContext& context, const NodeFailure& failure, const std::string& fallback) {
  const std::string cause = describe_node_failure(failure);
  const bool answered = failure.kind == NodeFailureKind::http_status || failure.kind == NodeFailureKind::rpc_error ||
                        failure.kind == NodeFailureKind::bad_reply;
  stats_record_node_failure(*context.stats, cause.empty() ? fallback : cause, answered, unix_time_now());
}

// True when the node reports a best block other than the one the job builds on.
bool tip_moved(MiningContext& context) {
  const std::int64_t now = monotonic_now_ns();
  if (!context.last_tip_poll) context.last_tip_poll = now;
  if (elapsed_seconds(*context.last_tip_poll, now) < tip_poll_interval_seconds) return false;
  context.last_tip_poll = now;  // before the request, so a failing node is asked again only later
  try {
    const std::string best = get_best_block_hash(context.rpc);
    stats_record_node_reachable(*context.stats);
    return !best.empty() && best != context.last_prev_hash;
  } catch (const NodeRequestError& error) {
    // A failed poll changes nothing; the next one comes 5 s later.
    record_node_failure(context, error.failure, error.what());
    return false;
  } catch (const std::exception& error) {
    record_node_failure(context, NodeFailure{}, error.what());
    return false;
  }
}

void run_batches(MiningContext& context, const MinerOptions& options, MiningJob& job) {
  const auto global_size = static_cast<std::uint64_t>(options.global_work_size);
  const std::uint64_t status_period = global_size * status_period_per_work_item;
  // A period that does not fit in 32 bits (or is zero) would never match: print after every batch.
  const bool status_every_batch = status_period == 0 || status_period > UINT32_MAX;

  while (!g_stop_requested && !job.found) {
    const std::int64_t batch_start = monotonic_now_ns();
    const BatchResult batch = gpu_run_batch(*context.gpu, job.midstate.tail0, job.midstate.tail1, job.nonce);
    stats_record_batch(*context.stats, context.device_index, batch.nonces_done, batch_start, monotonic_now_ns());
    context.total_hashes += batch.nonces_done;
    job.nonce += batch.nonces_done;  // wraps modulo 2^32

    if (batch.found) {
      job.found = true;  // the job ends after this batch whatever the outcome
      if (!handle_candidate(context, job, batch.nonce)) break;
    }

    if (status_every_batch || job.nonce % static_cast<std::uint32_t>(status_period) == 0) {
      const double rate =
          static_cast<double>(context.total_hashes) / elapsed_seconds(context.start_time, monotonic_now_ns());
      std::printf("\r  [%s] h=%llu n=%u blk=%llu   ", format_hash_rate(rate).c_str(),
                  static_cast<unsigned long long>(job.tmpl.height), job.nonce,
                  static_cast<unsigned long long>(context.accepted_blocks));
      std::fflush(stdout);
    }

    if (tip_moved(context)) {
      std::printf("\n  [*] New block\n");
      break;
    }
    if (job.nonce < batch.nonces_done) break;  // the advance wrapped: this template's nonce space is used up
  }
}

// Says why the node gave no template: when a cause first appears and when it changes, not on
// every retry.
void report_template_failure(MiningContext& context, const NodeFailure& failure) {
  const std::string cause = describe_node_failure(failure);
  if (cause.empty() || cause == context.last_template_cause) return;
  context.last_template_cause = cause;
  std::printf("  [!] Cause: %s\n", cause.c_str());
}

void close_mining(MiningContext& context) {
  gpu_miner_release(context.gpu);
  rpc_client_close(context.rpc);
}

// The device's name as the listing shows it, for the statistics.
std::string device_name(const MinerOptions& options) {
  char name[256] = "";
  char vendor[256] = "";
  std::uint64_t memory = 0;
  get_gpu_device_info(options.platform_id, options.device_id, name, sizeof name, vendor, sizeof vendor, &memory);
  return name;
}

}  // namespace

int run_mining(const MinerOptions& options, GpuMiner* gpu, MiningStats& stats) {
  MiningContext context;
  context.gpu = gpu;
  context.stats = &stats;
  context.device_index = options.device_id;
  context.fee_script = address_to_script(dev_fee_address);
  if (context.fee_script.empty()) {
    std::printf("  [!] WARNING: Dev fee address decode failed\n");
  } else {
    std::printf("  [*] Dev fee: 1%% per block (%zu-byte script)\n", context.fee_script.size());
  }

  try {
    context.rpc = rpc_client_open(options.rpc_url, options.rpc_user, options.rpc_password,
                                  RpcClientOptions{options.rpc_cookie, &g_stop_requested});
  } catch (const std::exception& error) {
    std::printf("  [!] RPC error: %s\n", error.what());
    gpu_miner_release(gpu);
    return 1;
  }
  context.start_time = monotonic_now_ns();
  stats_start(stats, context.start_time);
  stats_set_node_url(stats, options.rpc_url);
  stats_add_device(stats, context.device_index, device_name(options));

  while (!g_stop_requested) {
    std::printf("  [*] Requesting block template...\n");
    BlockTemplate tmpl;
    try {
      tmpl = get_block_template(context.rpc);
    } catch (const std::exception& error) {
      std::printf("  [!] RPC error: %s\n", error.what());
      stats_record_node_failure(stats, error.what(), false, unix_time_now());
      sleep_seconds(node_retry_wait_seconds);
      continue;
    }
    // A stop abandoned the request: there is nothing to report or wait for.
    if (tmpl.failure.kind == NodeFailureKind::abandoned) continue;
    if (!tmpl.valid) {
      std::printf("  [!] Invalid template\n");
      report_template_failure(context, tmpl.failure);
      record_node_failure(context, tmpl.failure, "no valid block template");
      sleep_seconds(node_retry_wait_seconds);
      continue;
    }
    context.last_template_cause.clear();
    if (tmpl.previous_block_hash != context.last_prev_hash) {
      context.last_prev_hash = tmpl.previous_block_hash;
      std::printf("  [+] Height %llu\n", static_cast<unsigned long long>(tmpl.height));
    }

    const ByteVector payout_script = address_to_script(options.address);
    if (payout_script.empty()) {
      std::printf("  [!] Bad address\n");
      close_mining(context);
      return 1;
    }

    std::optional<MiningJob> job = build_job(context, options, std::move(tmpl), payout_script);
    if (!job) {
      std::printf("  [!] Invalid template\n");
      sleep_seconds(node_retry_wait_seconds);
      continue;
    }
    stats_record_template(stats, static_cast<std::uint64_t>(job->tmpl.height), job->tmpl.previous_block_hash,
                          monotonic_now_ns());
    gpu_set_job(*gpu, job->midstate.state, job->target);
    std::printf("  [*] Mining h=%llu diff=%.2f\n", static_cast<unsigned long long>(job->tmpl.height),
                difficulty_from_target(job->target));
    run_batches(context, options, *job);
  }

  std::printf("\n  [*] Done. %llu hashes, %llu blocks\n", static_cast<unsigned long long>(context.total_hashes),
              static_cast<unsigned long long>(context.accepted_blocks));
  close_mining(context);
  return 0;
}
