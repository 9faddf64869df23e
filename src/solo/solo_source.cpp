#include "solo/solo_source.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "chain/address.h"
#include "chain/block.h"
#include "chain/coinbase.h"
#include "chain/hex.h"
#include "chain/sha256.h"
#include "pow/block_header.h"
#include "pow/target.h"
#include "rpc/block_submission.h"
#include "rpc/block_template.h"
#include "rpc/node_failure.h"
#include "rpc/rpc_client.h"
#include "rpc/tip_poll.h"
#include "run/hash_rate.h"
#include "work/kept_jobs.h"
#include "solo/longpoll_watch.h"
#include "solo/solo_jobs.h"
#include "stats/mining_stats.h"

namespace {

std::int64_t seconds_to_ns(double seconds) { return static_cast<std::int64_t>(seconds * 1e9); }

// The block's id as the node shows it: double SHA-256 of the header, reversed.
std::string block_id_text(const BlockHeader& header) {
  Hash256 digest{};
  double_sha256(header.data(), header.size(), digest.data());
  std::reverse(digest.begin(), digest.end());
  return hex_encode(digest.data(), digest.size());
}

class SoloSource final : public WorkSource {
 public:
  SoloSource(MiningRun& run, const SoloSettings& settings, RpcClient rpc, ByteVector fee_script)
      : run_(run), settings_(settings), rpc_(std::move(rpc)), fee_script_(std::move(fee_script)) {
    stats_set_node_url(*run_.stats, settings_.rpc_url);
  }
  ~SoloSource() override {
    if (longpoll_) stop_longpoll(*longpoll_);
    rpc_client_close(rpc_);
  }
  SoloSource(const SoloSource&) = delete;
  SoloSource& operator=(const SoloSource&) = delete;

  std::optional<JobCheck> job_to_check(const FoundNonce& found) override {
    std::optional<SoloJob> job;
    {
      std::lock_guard lock(run_.board.mutex);
      job = find_kept_job(jobs_, found.job_id);
    }
    // A block on a tip the chain has left would only be refused as stale.
    if (!job || job->generation != generation_) return std::nullopt;
    // The device left this job at its candidate: a fresh template for what comes next.
    template_wanted_ = true;
    checked_job_ = job;
    return JobCheck{job->header, job->target};
  }

  void take_candidate(const Candidate& candidate) override {
    const SoloJob& job = *checked_job_;
    const std::string device_text =
        several_devices(run_) ? " on device " + std::to_string(candidate.opencl_index) : std::string();
    say("\n  [*] BLOCK FOUND" + device_text + "! Nonce=" + std::to_string(candidate.found.nonce) +
        " Hash=" + hex_encode(candidate.hash.data(), candidate.hash.size()) + "\n");
    const std::string block = block_hex(candidate.header, job.coinbase, *job.transaction_data);
    say("  [*] Submitting...\n");
    const SubmitResult result = submit_block(rpc_, block);
    FoundBlockRecord record;
    record.time = unix_time_now();
    record.height = height_;  // the job's tip is the current one, so is its height
    record.hash = block_id_text(candidate.header);
    record.pow_hash = hex_encode(candidate.hash.data(), candidate.hash.size());
    record.device = candidate.opencl_index;
    record.accepted = result.accepted;
    if (!result.accepted) record.reason = result.reason;
    stats_record_block(*run_.stats, record);
    if (result.accepted) {
      ++accepted_blocks_;
      withdraw_work();  // the chain moved on to this block
      say("  [+] ACCEPTED!\n\n");
    } else {
      say("  [!] REJECTED\n\n");
      say("  [!] Reason: " + result.reason + "\n");
    }
  }

  TurnOutcome turn(const SourceEvents& events, std::int64_t now) override {
    if (events.refresh_wanted) template_wanted_ = true;  // a job used up its nonce space
    if (const std::optional<std::string> previous_block = template_changed()) {
      if (*previous_block != last_prev_hash_) {
        say("\n  [*] New block\n");
        withdraw_work();
      }
      template_wanted_ = true;  // new transactions on the same tip: devices take them at their next job
    }
    if (!template_wanted_) {
      watch_tip(now);
      return TurnOutcome::go_on;
    }
    if (now < retry_at_) return TurnOutcome::go_on;
    return fetch_template();
  }

  double seconds_until_next_turn(std::int64_t now) override {
    const std::int64_t due = template_wanted_ ? retry_at_ : last_tip_poll_ + seconds_to_ns(run_.timings.tip_poll);
    return static_cast<double>(std::max<std::int64_t>(0, due - now)) / 1e9;
  }

  std::optional<std::string> status_figures(const StatusPoint& point, bool several) override {
    std::string figures = "h=" + std::to_string(point.height);
    if (!several) figures += " n=" + std::to_string(point.next_nonce);
    return figures + " blk=" + std::to_string(accepted_blocks_);
  }

  void wind_down() override {}

  std::string done_figures() override { return std::to_string(accepted_blocks_) + " blocks"; }

 private:
  void say(const std::string& lines) { run_say(run_, lines); }

  // Every job on the current tip becomes stale at its next launch; devices wait for new work.
  void withdraw_work() { publish_work(run_.board, {}, ++generation_); }

  void retry_later() { retry_at_ = run_.clock() + seconds_to_ns(run_.timings.node_retry); }

  // The node's state for the monitoring API: the failure's description (or the fallback text
  // when it has none), and whether the node answered at all.
  void record_node_failure(const NodeFailure& failure, const std::string& fallback) {
    const std::string cause = describe_node_failure(failure);
    const bool answered = failure.kind == NodeFailureKind::http_status ||
                          failure.kind == NodeFailureKind::rpc_error || failure.kind == NodeFailureKind::bad_reply;
    stats_record_node_failure(*run_.stats, cause.empty() ? fallback : cause, answered, unix_time_now());
  }

  // Says why the node gave no template: when a cause first appears and when it changes, not on
  // every retry.
  void report_template_failure(const NodeFailure& failure) {
    const std::string cause = describe_node_failure(failure);
    if (cause.empty() || (last_template_failure_ && same_node_failure_cause(*last_template_failure_, failure))) return;
    last_template_failure_ = failure;
    say("  [!] Cause: " + cause + "\n");
  }

  void report_coinbase_cut(std::uint64_t height) {
    const std::size_t length = settings_.coinbase.size();
    const std::size_t kept = coinbase_text_kept_length(height, length);
    if (kept < length && !coinbase_cut_reported_) {
      say("  [!] Coinbase text cut to " + std::to_string(kept) + " bytes\n");
      coinbase_cut_reported_ = true;
    }
    const std::size_t kept_with_extra_nonce = coinbase_text_kept_length(height, length, true);
    if (kept_with_extra_nonce < kept && !extra_nonce_cut_reported_) {
      say("  [!] Coinbase text cut to " + std::to_string(kept_with_extra_nonce) + " bytes in jobs with an extra nonce\n");
      extra_nonce_cut_reported_ = true;
    }
  }

  TurnOutcome fetch_template() {
    say("  [*] Requesting block template...\n");
    BlockTemplate tmpl;
    try {
      tmpl = get_block_template(rpc_);
    } catch (const std::exception& error) {
      say(std::string("  [!] RPC error: ") + error.what() + "\n");
      stats_record_node_failure(*run_.stats, error.what(), false, unix_time_now());
      retry_later();
      return TurnOutcome::go_on;
    }
    // A stop abandoned the request: there is nothing to report or wait for.
    if (tmpl.failure.kind == NodeFailureKind::abandoned) return TurnOutcome::go_on;
    if (!tmpl.valid) {
      say("  [!] Invalid template\n");
      report_template_failure(tmpl.failure);
      record_node_failure(tmpl.failure, "no valid block template");
      retry_later();
      return TurnOutcome::go_on;
    }
    last_template_failure_.reset();
    if (tmpl.previous_block_hash != last_prev_hash_) {
      last_prev_hash_ = tmpl.previous_block_hash;
      ++generation_;
      say("  [+] Height " + std::to_string(tmpl.height) + "\n");
    }

    ByteVector payout_script = address_to_script(settings_.address);
    if (payout_script.empty()) {
      say("  [!] Bad address\n");
      return TurnOutcome::fail;
    }
    std::optional<SoloWork> work =
        prepare_solo_work(tmpl, generation_, std::move(payout_script), fee_script_, settings_.coinbase);
    if (!work) {
      say("  [!] Invalid template\n");
      retry_later();
      return TurnOutcome::go_on;
    }
    report_coinbase_cut(work->height);
    height_ = work->height;
    stats_record_template(*run_.stats, work->height, tmpl.previous_block_hash, run_.clock());
    char line[96];
    std::snprintf(line, sizeof line, "  [*] Mining h=%llu diff=%.2f\n", static_cast<unsigned long long>(work->height),
                  difficulty_from_target(work->target));
    say(line);
    publish_template(std::make_shared<const SoloWork>(std::move(*work)));
    template_wanted_ = false;
    current_longpoll_id_ = tmpl.longpoll_id;
    watch_template_changes(tmpl.longpoll_id);
    // The tip poll counts from the first job on.
    if (last_tip_poll_ == 0) last_tip_poll_ = run_.clock();
    return TurnOutcome::go_on;
  }

  // Makes the template the devices' work. A new tip makes every running job stale at once.
  void publish_template(std::shared_ptr<const SoloWork> work) {
    // Every job has a header of its own (the next extra nonce), searched from nonce 0.
    auto make_job = [this, work](const JobRequest& request) -> std::optional<DeviceJob> {
      const auto extra_nonce =
          next_extra_nonce(extra_nonces_, request.worker_index, run_.devices.size(), work->previous_block);
      SoloJob solo = build_solo_job(*work, extra_nonce);
      DeviceJob job;
      job.generation = work->generation;
      job.height = work->height;
      job.header = solo.header;
      job.midstate = compute_midstate(solo.header);
      job.target = work->target;
      return keep_job(jobs_, std::move(job), std::move(solo));
    };
    {
      // Found nonces of older tips are dropped anyway.
      std::lock_guard lock(run_.board.mutex);
      drop_kept_jobs_if(jobs_, [&](const SoloJob& job) { return job.generation != work->generation; });
    }
    publish_work(run_.board, std::move(make_job), work->generation);
  }

  // Says when the best-block poll starts failing or its cause changes, and when it works again;
  // a node that stops answering would otherwise go unnoticed until the next template request.
  void report_tip_poll(const std::string& cause) {
    if (cause == tip_poll_cause_) return;
    if (cause.empty()) {
      say("\n  [*] Best-block poll works again\n");
    } else {
      say("\n  [!] Best-block poll failed: " + cause + "\n");
    }
    tip_poll_cause_ = cause;
  }

  // The longpoll, while it works, replaces the tip poll; its working again means the node
  // answers again. Otherwise the best block is asked for when the poll is due.
  void watch_tip(std::int64_t now) {
    if (longpoll_healthy()) {
      report_tip_poll({});
      return;
    }
    if (now - last_tip_poll_ < seconds_to_ns(run_.timings.tip_poll)) return;
    last_tip_poll_ = now;  // before the request, so a failing node is asked again only later
    if (tip_moved()) {
      say("\n  [*] New block\n");
      withdraw_work();
      template_wanted_ = true;
    }
  }

  // True when the node reports a best block other than the one the work builds on.
  bool tip_moved() {
    try {
      const std::string best = get_best_block_hash(rpc_);
      report_tip_poll({});
      stats_record_node_reachable(*run_.stats);
      return !best.empty() && best != last_prev_hash_;
    } catch (const NodeRequestError& error) {
      // A stop abandons the request; that is no fault of the node's.
      if (error.failure.kind != NodeFailureKind::abandoned) {
        report_tip_poll(describe_node_failure(error.failure));
        record_node_failure(error.failure, error.what());
      }
    } catch (const std::exception& error) {
      report_tip_poll(error.what());
      record_node_failure(NodeFailure{}, error.what());
    }
    return false;  // a failed poll changes nothing; the next one comes later
  }

  // Starts the longpoll once the node names its templates, unless it is switched off.
  void watch_template_changes(const std::string& longpoll_id) {
    if (!settings_.longpoll || longpoll_id.empty()) return;
    if (!longpoll_) {
      RpcClient client;
      try {
        client = rpc_client_open(settings_.rpc_url, settings_.rpc_user, settings_.rpc_password,
                                 RpcClientOptions{settings_.rpc_cookie, run_.stop});
      } catch (const std::exception&) {
        return;  // the tip poll stays in charge
      }
      // The node holds the request until something changes: only a long silence is a failure.
      client.connection->timeouts.request =
          std::chrono::milliseconds(static_cast<std::int64_t>(run_.timings.longpoll_request_timeout * 1000));
      longpoll_ = std::make_shared<LongpollWatch>();
      longpoll_->notify = [this] { poke_source(run_.board); };
      start_longpoll(longpoll_, std::move(client));
    }
    longpoll_set_id(*longpoll_, longpoll_id);
  }

  // What the longpoll brought, if anything: the previous block hash of a template other than
  // the one in hand.
  std::optional<std::string> template_changed() {
    if (!longpoll_) return std::nullopt;
    std::lock_guard lock(longpoll_->mutex);
    if (!std::exchange(longpoll_->changed, false)) return std::nullopt;
    if (longpoll_->changed_longpoll_id == current_longpoll_id_) return std::nullopt;
    return longpoll_->changed_previous_block;
  }

  bool longpoll_healthy() {
    if (!longpoll_) return false;
    std::lock_guard lock(longpoll_->mutex);
    return !longpoll_->failing;
  }

  MiningRun& run_;
  const SoloSettings settings_;
  RpcClient rpc_;
  const ByteVector fee_script_;
  std::string last_prev_hash_;
  std::uint64_t generation_ = 0;
  std::uint64_t height_ = 0;  // of the template the devices mine
  std::uint64_t accepted_blocks_ = 0;
  bool template_wanted_ = true;
  std::int64_t retry_at_ = 0;
  std::int64_t last_tip_poll_ = 0;  // 0 until the first job is out
  bool coinbase_cut_reported_ = false;
  bool extra_nonce_cut_reported_ = false;
  std::optional<NodeFailure> last_template_failure_;  // the cause shown last; cleared by a usable template
  std::string tip_poll_cause_;       // why the best-block poll fails; empty while it works
  std::shared_ptr<LongpollWatch> longpoll_;  // null while no longpoll runs
  std::string current_longpoll_id_;          // of the template the devices mine
  std::optional<SoloJob> checked_job_;       // the job of the candidate being checked

  // Guarded by the board's mutex: the devices' job maker uses them.
  ExtraNonceCounter extra_nonces_;
  KeptJobs<SoloJob> jobs_;
};

}  // namespace

std::unique_ptr<WorkSource> open_solo_source(MiningRun& run, const SoloSettings& settings) {
  ByteVector fee_script = address_to_script(dev_fee_address);
  if (fee_script.empty()) {
    run_say(run, "  [!] WARNING: Dev fee address decode failed\n");
  } else {
    run_say(run, "  [*] Dev fee: 1% per block (" + std::to_string(fee_script.size()) + "-byte script)\n");
  }
  RpcClient rpc;
  try {
    rpc = rpc_client_open(settings.rpc_url, settings.rpc_user, settings.rpc_password,
                          RpcClientOptions{settings.rpc_cookie, run.stop});
  } catch (const std::exception& error) {
    run_say(run, std::string("  [!] RPC error: ") + error.what() + "\n");
    return nullptr;
  }
  return std::make_unique<SoloSource>(run, settings, std::move(rpc), std::move(fee_script));
}
