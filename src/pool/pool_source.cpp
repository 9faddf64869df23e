#include "pool/pool_source.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "chain/hex.h"
#include "pow/block_header.h"
#include "pow/target.h"
#include "stratum/job_lines.h"
#include "stratum/stratum_connection.h"
#include "stratum/stratum_message.h"
#include "stratum/stratum_session.h"
#include "stratum/stratum_work.h"
#include "work/kept_jobs.h"
#include "work/repeated_lines.h"

namespace {

// A pool job as the devices' job maker sees it; fixed once published.
struct PoolWork {
  std::uint64_t generation = 0;
  StratumJob job;
  ByteVector extranonce1;
  std::int32_t extranonce2_size = 0;
  double difficulty = 1.0;
};

// What makes the headers of a pool job: jobs alike in these give a device the same header for the
// same extranonce2 (a job sent again, or at a new difficulty).
struct HeaderFamily {
  std::string job_id;
  ByteVector extranonce1;
  std::int32_t extranonce2_size = 0;
  bool operator==(const HeaderFamily&) const = default;
};

HeaderFamily header_family(const PoolWork& work) {
  return {work.job.job_id, work.extranonce1, work.extranonce2_size};
}

// How far a device got in the headers of one family: the extranonce2 value it searches (an
// offset into its range) and the nonce its next job on that header starts at (0 for a header not
// searched yet: its job starts at the device's first nonce).
struct HeaderPosition {
  std::uint64_t extranonce2_offset = 0;
  std::uint64_t next_nonce = 0;
  bool used_up = false;  // every header of the device's range was searched; said once
};

struct FamilyPositions {
  HeaderFamily family;
  std::vector<HeaderPosition> devices;  // by worker index
};

// Families whose positions are kept: a pool may send one of its recent jobs again (after a
// resumed session, or on the way back from a failover), and its headers must go on where they
// stopped.
constexpr std::size_t remembered_families = 16;

// The device job a device last took, and its family.
struct Handout {
  std::uint64_t job_id = 0;
  HeaderFamily family;
};

// A device that searched every header of a job: told on the source's thread.
struct UsedUpNote {
  std::size_t worker_index = 0;
  std::string job_id;
};

// One device job: what a found nonce needs to become a share.
struct PoolJob {
  std::string job_id;
  ByteVector extranonce1;
  std::string extranonce2_text;
  std::string time_text;
  BlockHeader header{};
  double difficulty = 1.0;  // the share difficulty that made share_target
  Target256 share_target;
  Target256 block_target;
  Target256 device_target;
};

bool easier(const Target256& a, const Target256& b) {
  for (std::size_t limb = 4; limb-- > 0;) {
    if (a.limbs[limb] != b.limbs[limb]) return a.limbs[limb] > b.limbs[limb];
  }
  return false;
}

std::int64_t seconds_to_ns(double seconds) { return static_cast<std::int64_t>(seconds * 1e9); }

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

FailoverTimings failover_timings(const Timings& timings) {
  return {timings.pool_first_reconnect_pause, timings.pool_longest_reconnect_pause, timings.pool_primary_back,
          timings.pool_primary_probe, timings.pool_silence, timings.pool_reconnect_repeat};
}

// Connection events handled in one turn, so that found nonces, timers and a stop request are seen
// between them even while a pool floods the miner.
constexpr std::size_t events_per_turn = 32;

class PoolSource final : public WorkSource {
 public:
  PoolSource(MiningRun& run, const PoolLogin& login) : run_(run), pools_(login.pools) {
    failover_.timings = failover_timings(run_.timings);
    failover_.pool_count = pools_.size();
    session_limits_ = SessionLimits{run_.timings.pool_session_start, run_.timings.pool_share_answer};
    job_lines_.interval_seconds = run_.timings.pool_job_line_interval;
    malformed_.report_interval_seconds = run_.timings.pool_malformed_report_interval;
    // The connections' threads wake the run's wait when a pool has news.
    connection_ = connection_create([&board = run_.board] { poke_source(board); }, connection_limits());
    probe_ = connection_create([&board = run_.board] { poke_source(board); }, connection_limits());
    pool_stats_.worker = pools_.front().worker;
    for (const PoolEndpoint& pool : pools_) {
      ConfiguredPoolStats& configured = pool_stats_.pools.emplace_back();
      configured.url = pool.url;
      configured.worker = pool.worker;
      configured.tls = pool.tls;
      configured.pinned = !pool.tls_fingerprint.empty();
    }
    publish_pool_stats();
  }
  ~PoolSource() override {
    connection_destroy(probe_);
    connection_destroy(connection_);
  }
  PoolSource(const PoolSource&) = delete;
  PoolSource& operator=(const PoolSource&) = delete;

  std::optional<JobCheck> job_to_check(const FoundNonce& found) override {
    std::lock_guard lock(run_.board.mutex);
    checked_job_ = find_kept_job(jobs_, found.job_id);
    if (!checked_job_) return std::nullopt;
    return JobCheck{checked_job_->header, checked_job_->device_target};
  }

  void take_candidate(const Candidate& candidate) override {
    const PoolJob& job = *checked_job_;
    const bool is_block = hash_meets_target(candidate.hash, job.block_target);
    // The device searched for the easier of the two targets: a block that is no share still goes.
    if (is_block) {
      say("\n  [*] BLOCK FOUND! Nonce=" + std::to_string(candidate.found.nonce) +
          " Hash=" + hex_encode(candidate.hash.data(), candidate.hash.size()) +
          " (a share; the pool submits the block)\n");
    }
    FoundShare share{candidate.opencl_index, job.job_id, job.extranonce1, job.extranonce2_text,
                     job.time_text, nonce_text(candidate.found.nonce), is_block, job.difficulty};
    const std::int64_t now = run_.clock();
    apply_actions(session_share_found(session_, std::move(share), now), now);
    if (!session_ready(session_)) say("  [*] Share kept until the pool is back\n");
    publish_pool_stats();
  }

  TurnOutcome turn(const SourceEvents&, std::int64_t now) override {
    say_used_up_devices();
    network_step(now);
    for (const std::string& line : repeats_due(malformed_, run_.clock())) say(line);
    publish_pool_stats();
    return TurnOutcome::go_on;
  }

  // The next connection attempt, the probe of the first pool or the silence limit, whichever
  // comes first; at once while the last turn left events behind.
  double seconds_until_next_turn(std::int64_t now) override {
    if (events_left_) return 0;
    std::int64_t due = std::numeric_limits<std::int64_t>::max();
    if (!connection_is_active(*connection_)) due = std::min(due, failover_.next_attempt_ns);
    if (connection_is_up(*connection_)) {
      due = std::min(due, last_received_ + seconds_to_ns(failover_.timings.silence));
      if (const auto deadline = session_deadline(session_, session_limits_)) due = std::min(due, deadline->at_ns);
    }
    if (failover_.current != 0 && !connection_is_active(*probe_)) due = std::min(due, failover_.next_probe_ns);
    return static_cast<double>(std::max<std::int64_t>(0, due - now)) / 1e9;
  }

  std::optional<std::string> status_figures(const StatusPoint&, bool) override {
    if (!session_.job) return std::nullopt;
    char figures[160];
    std::snprintf(figures, sizeof figures, "diff=%g acc=%llu rej=%llu stale=%llu blk=%llu", session_.difficulty,
                  static_cast<unsigned long long>(session_.accepted), static_cast<unsigned long long>(session_.rejected),
                  static_cast<unsigned long long>(session_.stale), static_cast<unsigned long long>(session_.blocks));
    return figures;
  }

  // Answers to shares already sent still count, for a short while. The board is closed now, so
  // only the connections' pokes end a wait.
  void wind_down() override {
    winding_down_ = true;
    const auto give_up = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(run_.timings.final_answer_wait));
    network_step(run_.clock());
    while (!session_.submitted.empty() && connection_is_up(*connection_) && std::chrono::steady_clock::now() < give_up) {
      if (!events_left_) wait_for_poke(run_.board, give_up);
      network_step(run_.clock());
    }
    publish_pool_stats();
  }

  std::string done_figures() override {
    return std::to_string(session_.accepted) + " shares accepted, " + std::to_string(session_.rejected) +
           " rejected, " + std::to_string(session_.blocks) + " blocks";
  }

 private:
  void say(const std::string& lines) { run_say(run_, lines); }

  ConnectionLimits connection_limits() const {
    ConnectionLimits limits;
    limits.connect_timeout = std::chrono::milliseconds(static_cast<std::int64_t>(run_.timings.pool_connect_timeout * 1000));
    return limits;
  }

  // Under the board's mutex: the positions of the family, kept among the most recent ones.
  std::vector<HeaderPosition>& positions_of(const HeaderFamily& family) {
    for (FamilyPositions& kept : positions_) {
      if (kept.family == family) return kept.devices;
    }
    if (positions_.size() == remembered_families) positions_.pop_front();
    positions_.push_back({family, std::vector<HeaderPosition>(run_.devices.size())});
    return positions_.back().devices;
  }

  // Called under the board's mutex on a device's thread. The device goes on with the header of
  // its previous job after the part it searched, for as long as the pool's job stays the same;
  // once its nonces of that header are used up it takes its next extranonce2 value, and once
  // those are used up as well it gets nothing until the pool sends another job.
  std::optional<DeviceJob> make_pool_job(const PoolWork& work, const JobRequest& request) {
    const std::size_t device_count = run_.devices.size();
    const std::size_t device = request.worker_index;
    if (ranges_size_ != work.extranonce2_size) {
      ranges_size_ = work.extranonce2_size;
      ranges_.clear();
      for (std::size_t index = 0; index < device_count; ++index) {
        ranges_.push_back(
            extranonce2_range(work.extranonce2_size, static_cast<int>(index), static_cast<int>(device_count)));
      }
    }
    handouts_.resize(device_count);
    Handout& previous = handouts_[device];
    if (request.previous_job_id != 0 && request.previous_job_id == previous.job_id) {
      positions_of(previous.family)[device].next_nonce = request.previous_searched_end;
      previous.job_id = 0;  // taken into account: a device given nothing asks again with it
    }
    const Extranonce2Range& range = ranges_[device];
    const HeaderFamily family = header_family(work);
    HeaderPosition& position = positions_of(family)[device];
    if (position.next_nonce >= range.nonce_end) {
      ++position.extranonce2_offset;
      position.next_nonce = 0;
    }
    if (position.extranonce2_offset >= range.count) {
      if (!std::exchange(position.used_up, true)) used_up_notes_.push_back({device, work.job.job_id});
      return std::nullopt;
    }
    const ByteVector extranonce2 =
        extranonce2_bytes(range.first + position.extranonce2_offset, work.extranonce2_size);

    PoolJob pool_job;
    pool_job.job_id = work.job.job_id;
    pool_job.extranonce1 = work.extranonce1;
    pool_job.extranonce2_text = hex_encode(extranonce2.data(), extranonce2.size());
    pool_job.time_text = work.job.time_text;
    const ByteVector coinbase = assemble_coinbase(work.job, work.extranonce1, extranonce2);
    pool_job.header = job_header(work.job, merkle_root_from_branch(coinbase, work.job.merkle_branch));
    pool_job.difficulty = work.difficulty;
    pool_job.share_target = share_target(work.difficulty);
    pool_job.block_target = target_from_bits(work.job.bits);
    // The device reports hashes that meet either target: a block is never missed, even from a
    // pool whose share difficulty is above the network's.
    pool_job.device_target =
        easier(pool_job.block_target, pool_job.share_target) ? pool_job.block_target : pool_job.share_target;

    DeviceJob job;
    job.generation = work.generation;
    job.header = pool_job.header;
    job.midstate = compute_midstate(job.header);
    job.target = pool_job.device_target;
    job.first_nonce = std::max(position.next_nonce, range.nonce_begin);
    job.nonce_end = range.nonce_end;
    job = keep_job(jobs_, std::move(job), std::move(pool_job));
    handouts_[device] = {job.id, family};
    return job;
  }

  // The devices that searched every header of their job since the last turn.
  void say_used_up_devices() {
    std::vector<UsedUpNote> notes;
    {
      std::lock_guard lock(run_.board.mutex);
      notes.swap(used_up_notes_);
    }
    for (const UsedUpNote& note : notes) {
      char line[160];
      std::snprintf(line, sizeof line,
                    "  [*] Device %d searched every header of job %s; waiting for the pool's next job\n",
                    opencl_index_of(run_, note.worker_index), printable_pool_text(note.job_id, 40).c_str());
      say(line);
    }
  }

  // Makes the session's latest job the devices' work. A clean job makes every running one stale
  // at once; otherwise devices take it at their next job boundary.
  void publish_job(bool clean) {
    if (!session_.job || !session_ready(session_)) return;
    if (clean) ++generation_;
    auto work = std::make_shared<const PoolWork>(
        PoolWork{generation_, *session_.job, session_.extranonce1, session_.extranonce2_size, session_.difficulty});
    // The job's line goes out before the devices can take the job, so that whatever a device says
    // about it comes after the line.
    if (work->job.job_id != published_job_id_) {
      published_job_id_ = work->job.job_id;
      if (job_line_due(job_lines_, clean || work->job.clean_jobs, run_.clock())) {
        char line[160];
        std::snprintf(line, sizeof line, "  [*] Mining job %s, share difficulty %g\n",
                      printable_pool_text(work->job.job_id, 40).c_str(), work->difficulty);
        say(line);
      }
    }
    publish_work(
        run_.board, [this, work](const JobRequest& request) { return make_pool_job(*work, request); }, generation_);
  }

  // A TLS pool's certificate is checked against its own host name, or its pin.
  static std::optional<TlsSettings> tls_settings(const PoolEndpoint& pool) {
    if (!pool.tls) return std::nullopt;
    return TlsSettings{pool.host, pool.tls_fingerprint};
  }

  void forget_connection() {
    session_disconnected(session_);
    session_ready_ = false;
  }

  // The address of the next connection attempt: the current pool's, on the port the pool asked
  // for when it asked for one.
  std::string next_url() const {
    const PoolEndpoint& pool = pools_[failover_.current];
    return pool_url_on_port(pool, requested_port_.value_or(pool.port));
  }

  // The address in use, or about to be tried while there is no connection.
  std::string url_in_use() const { return connection_is_active(*connection_) ? open_url_ : next_url(); }

  // The connection ended. One that never reached a ready session, or that the pool let down
  // (failed), is a failed attempt; a ready one that was lost is tried again on the same pool.
  void connection_lost(const std::string& reason, bool failed, std::int64_t now) {
    const std::string url = open_url_;
    const bool attempt_failed = failed || !session_ready_;
    forget_connection();
    if (attempt_failed) {
      const std::size_t left = failover_.current;
      failover_attempt_failed(failover_, now);
      if (failover_.current != left) ++pool_stats_.pools[left].failovers;
    } else {
      failover_connection_lost(failover_, now);
    }
    const double pause = reconnect_pause_seconds(failover_.timings, failover_.failed_attempts);
    const std::string next = next_url();
    pool_stats_.last_failure = url + ": " + reason;
    pool_stats_.last_failure_time = unix_time_now();
    say("  [!] Pool " + url + ": " + reason + "; trying " + (next == url ? "again" : next) + " in " +
        seconds_text(pause) + " s\n");
  }

  // A pool's own port is used for the one reconnection it asks for; the pause grows while the
  // pool keeps asking.
  void handle_reconnect_request(const StratumActions::Reconnect& request, std::int64_t now) {
    const PoolEndpoint& pool = pools_[failover_.current];
    const std::string url = open_url_;
    // Only the same host: a pool must not be able to send a rig's worker name and password
    // elsewhere.
    if (!request.host.empty() && request.host != pool.host) {
      say("  [!] Pool " + url + " asked to move to " + printable_pool_text(request.host) + "; staying\n");
      return;
    }
    connection_close(*connection_);
    forget_connection();
    if (request.port != 0 && request.port != pool.port) requested_port_ = request.port;
    const double pause = failover_reconnect_requested(failover_, request.wait_seconds, now);
    const std::string next = next_url();
    say("  [*] Pool " + url + " asked to reconnect" +
        (requested_port_ ? " on port " + std::to_string(*requested_port_) : std::string()) +
        (failover_.reconnect_requests > 1
             ? " again within " + seconds_text(failover_.timings.reconnect_repeat) + " s"
             : std::string()) +
        "; trying " + (next == url ? "again" : next) + " in " + seconds_text(pause) + " s\n");
  }

  void apply_actions(const StratumActions& actions, std::int64_t now) {
    const double previous_difficulty = published_difficulty_;
    for (const std::string& line : actions.send) connection_send(*connection_, line);
    for (const std::string& line : actions.console) say(line);
    if (actions.malformed) {
      for (const std::string& line : repeated_line_seen(malformed_, *actions.malformed, now)) say(line);
    }
    for (const ShareVerdict& verdict : actions.verdicts) {
      share_results_.push_back({verdict.device, verdict.accepted});
      if (!verdict.accepted) {
        pool_stats_.last_rejection = verdict.reason;
        pool_stats_.last_rejection_time = unix_time_now();
      }
    }
    if (actions.close_as_failed) {
      connection_close(*connection_);
      connection_lost(*actions.close_as_failed, true, now);
      return;
    }
    if (session_ready(session_) && !session_ready_) {
      session_ready_ = true;
      failover_session_ready(failover_);
      ++pool_stats_.pools[failover_.current].connections;
    }
    if (session_.last_round_trip_ns) {
      pool_stats_.pools[failover_.current].round_trip_seconds = static_cast<double>(*session_.last_round_trip_ns) / 1e9;
    }
    published_difficulty_ = session_.difficulty;
    if (actions.new_job) {
      publish_job(actions.clean);
    } else if (session_.difficulty != previous_difficulty) {
      publish_job(false);  // the new difficulty applies from the devices' next jobs
    }
    if (actions.reconnect) handle_reconnect_request(*actions.reconnect, now);
  }

  void poll_probe(std::int64_t now) {
    if (!connection_is_active(*probe_) && failover_probe_due(failover_, now)) {
      connection_open(*probe_, pools_[0].host, pools_[0].port);
    }
    for (const ConnectionEvent& event : connection_take_events(*probe_, events_per_turn)) {
      if (event.kind == ConnectionEvent::Kind::line) continue;
      const bool reachable = event.kind == ConnectionEvent::Kind::connected;
      connection_close(*probe_);
      if (failover_probe_result(failover_, reachable, now)) {
        say("  [*] Pool " + pools_[0].url + " is back; returning to it\n");
        connection_close(*connection_);
        forget_connection();
        requested_port_.reset();
        failover_return_to_first(failover_, now);
      }
      break;  // the probe is closed: whatever else was taken belongs to it
    }
  }

  // Connects when due, hands what the pool sent to the session, and watches for silence. Leaves
  // events for the next turn beyond events_per_turn, and all of them once a stop is requested
  // (unless winding down).
  void network_step(std::int64_t now) {
    if (!connection_is_active(*connection_) && now >= failover_.next_attempt_ns) {
      const PoolEndpoint& pool = pools_[failover_.current];
      open_url_ = next_url();
      session_.pool_name = open_url_;
      // Each pool is logged in to with its own worker and password.
      session_.user = pool.worker;
      session_.password = pool.password;
      pool_stats_.worker = pool.worker;
      connection_open(*connection_, pool.host, requested_port_.value_or(pool.port), tls_settings(pool));
      requested_port_.reset();
    }
    // One event at a time: handling one may close the connection, and the rest then goes with it.
    std::size_t handled = 0;
    for (; handled < events_per_turn && (winding_down_ || !run_.stop->load()); ++handled) {
      const std::vector<ConnectionEvent> events = connection_take_events(*connection_, 1);
      if (events.empty()) break;
      const ConnectionEvent& event = events.front();
      now = run_.clock();
      switch (event.kind) {
        case ConnectionEvent::Kind::connected:
          last_received_ = now;
          apply_actions(session_connected(session_, now), now);
          break;
        case ConnectionEvent::Kind::line:
          last_received_ = now;
          apply_actions(session_receive(session_, read_stratum_message(event.text), now), now);
          break;
        case ConnectionEvent::Kind::closed:
          connection_lost(event.text, false, now);
          break;
      }
    }
    events_left_ = handled == events_per_turn;
    now = run_.clock();
    if (connection_is_up(*connection_)) {
      // The pool is late with an answer or the first job: the attempt failed. Silence of a ready
      // session is a loss.
      const auto deadline = session_deadline(session_, session_limits_);
      if (deadline && now >= deadline->at_ns) {
        connection_close(*connection_);
        connection_lost(deadline->missing, true, now);
      } else if (pool_went_silent(failover_.timings, last_received_, now)) {
        connection_close(*connection_);
        connection_lost("nothing received for " + seconds_text(failover_.timings.silence) + " s", false, now);
      }
    }
    poll_probe(now);
  }

  // The pool's state and the session's counts, for the monitoring API.
  void publish_pool_stats() {
    PoolStats& pool = pool_stats_;
    pool.url = url_in_use();
    pool.connected = session_ready_ && connection_is_up(*connection_);
    pool.authorized = pool.connected && session_.authorized;
    pool.difficulty = session_.difficulty;
    pool.job = session_.job ? printable_pool_text(session_.job->job_id, 40) : std::string();
    pool.shares_accepted = session_.accepted;
    pool.shares_rejected = session_.rejected;
    pool.shares_stale = session_.stale;
    pool.block_shares = session_.blocks;
    for (std::size_t index = 0; index < pool.pools.size(); ++index) pool.pools[index].active = index == failover_.current;
    stats_set_pool(*run_.stats, pool, share_results_);
    share_results_.clear();
  }

  MiningRun& run_;
  const std::vector<PoolEndpoint> pools_;
  StratumSession session_;
  SessionLimits session_limits_;
  PoolFailover failover_;
  std::string open_url_;  // the address of the current or last connection, for console lines
  std::optional<std::uint16_t> requested_port_;  // the pool's port for the next connection only
  StratumConnection* connection_ = nullptr;
  StratumConnection* probe_ = nullptr;  // checks whether the first pool is back, while on a failover
  std::int64_t last_received_ = 0;
  bool session_ready_ = false;  // the current connection's session is ready: it mines
  bool events_left_ = false;    // the last turn left connection events behind
  bool winding_down_ = false;   // after a stop: answers to shares already sent are still taken
  std::uint64_t generation_ = 0;
  std::string published_job_id_;
  JobLines job_lines_;        // which new jobs get a console line
  RepeatedLines malformed_;   // the pool's malformed messages, their repeats counted
  double published_difficulty_ = 1.0;
  PoolStats pool_stats_;                   // what the statistics get after every turn
  std::vector<ShareResult> share_results_;  // verdicts since the statistics last got them
  std::optional<PoolJob> checked_job_;     // the job of the candidate being checked

  // Guarded by the board's mutex. Each device walks its own range of extranonce2 values (or its
  // slice of the nonces of a value it shares), each header from where it stopped, so no header
  // and nonce is searched twice, not even when a pool sends a job again.
  std::int32_t ranges_size_ = -1;
  std::vector<Extranonce2Range> ranges_;
  std::deque<FamilyPositions> positions_;  // oldest first
  std::vector<Handout> handouts_;          // by worker index
  std::vector<UsedUpNote> used_up_notes_;
  KeptJobs<PoolJob> jobs_;
};

// The start-up line: every pool with its worker.
std::string pool_mining_line(const PoolLogin& login) {
  std::string line = "  [*] Pool mining on " + std::to_string(login.pools.size()) +
                     (login.pools.size() == 1 ? " pool: " : " pools: ");
  for (std::size_t index = 0; index < login.pools.size(); ++index) {
    const PoolEndpoint& pool = login.pools[index];
    line += (index == 0 ? "" : ", ") + pool.url + " as \"" + printable_pool_text(pool.worker) + "\"";
  }
  return line + "\n";
}

}  // namespace

std::unique_ptr<WorkSource> open_pool_source(MiningRun& run, const PoolLogin& login) {
  run.status_interval_seconds = run.timings.pool_status_interval;
  run_say(run, pool_mining_line(login));
  return std::make_unique<PoolSource>(run, login);
}
