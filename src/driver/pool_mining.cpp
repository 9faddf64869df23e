#include "driver/pool_mining.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "chain/hex.h"
#include "driver/api_startup.h"
#include "driver/console.h"
#include "driver/device_workers.h"
#include "driver/hash_rate.h"
#include "driver/monotonic_clock.h"
#include "pow/block_header.h"
#include "pow/target.h"
#include "stratum/pool_failover.h"
#include "stratum/stratum_connection.h"
#include "stratum/stratum_message.h"
#include "stratum/stratum_session.h"
#include "stratum/stratum_work.h"
#include "work/device_worker.h"
#include "work/job_board.h"

namespace {

// How long the pool's thread waits for news (a found nonce, a pool's line) before it looks at its
// timers again: reconnection pauses, the first pool's probe, silence, the status line.
constexpr std::chrono::milliseconds news_wait{50};
// Connection events handled in one round, so found nonces, timers and a stop request are seen
// between them even while a pool floods the miner.
constexpr std::size_t events_per_round = 32;
constexpr double status_interval_seconds = 5.0;
// After a stop, answers to shares already sent are awaited this long so the counts include them.
constexpr double final_answer_wait_seconds = 2.0;
// Jobs kept for their found nonces; older ones are dropped first.
constexpr std::size_t kept_jobs_limit = 4096;

// A pool job as the devices' job maker sees it; fixed once published.
struct PoolWork {
  std::uint64_t tip = 0;
  StratumJob job;
  ByteVector extranonce1;
  std::int32_t extranonce2_size = 0;
  double difficulty = 1.0;
};

// One device job: what a found nonce needs to become a share.
struct PoolJob {
  std::uint64_t tip = 0;
  std::string job_id;
  ByteVector extranonce1;
  std::string extranonce2_text;
  std::string time_text;
  BlockHeader header{};
  Target256 share_target;
  Target256 block_target;
};

// The pool's side of mining. Everything belongs to the thread that runs run_pool_mining, except
// the members marked as guarded by the board's mutex, which the devices' job maker uses.
struct PoolSource {
  JobBoard board;
  std::vector<std::unique_ptr<DeviceWorker>> workers;
  std::vector<std::int32_t> device_ids;
  // When each device's last launch was collected; element d is written by device d's thread only.
  std::vector<std::int64_t> last_launch_end;
  std::set<std::size_t> lost_reported;  // workers whose loss has been said
  MiningStats* stats = nullptr;
  PoolStats pool_stats;                     // what the statistics get after every round
  std::vector<ShareResult> share_results;  // verdicts since the statistics last got them
  std::vector<PoolEndpoint> pools;
  StratumSession session;
  PoolFailover failover;
  StratumConnection* connection = nullptr;
  StratumConnection* probe = nullptr;  // checks whether the first pool is back, while on a failover
  std::int64_t last_received = 0;
  bool session_ready = false;  // the current connection's session is ready: it mines
  bool winding_down = false;   // after a stop: answers to shares already sent are still taken
  std::uint64_t tip = 0;
  std::string published_job_id;
  std::int64_t start_time = 0;
  std::int64_t last_status = 0;
  bool progress_line_open = false;

  // Guarded by board.mutex. Each device walks its own range of extranonce2 values, and its
  // offset only grows, so no header repeats, not even when a pool sends a job again after a
  // reconnect.
  std::int32_t ranges_size = -1;
  std::vector<Extranonce2Range> ranges;
  std::vector<std::uint64_t> next_offsets;
  std::uint64_t next_job_id = 1;
  std::map<std::uint64_t, PoolJob> jobs;
};

// Console lines after a progress line start on a line of their own.
void say(PoolSource& source, const std::string& line) {
  if (source.progress_line_open) std::fputs("\n", stdout);
  source.progress_line_open = false;
  std::fputs(line.c_str(), stdout);
}

std::uint64_t total_hashes(const PoolSource& source) {
  std::uint64_t total = 0;
  for (const auto& worker : source.workers) total += worker->stats.hashes;
  return total;
}

bool easier(const Target256& a, const Target256& b) {
  for (std::size_t limb = 4; limb-- > 0;) {
    if (a.limbs[limb] != b.limbs[limb]) return a.limbs[limb] > b.limbs[limb];
  }
  return false;
}

// Called under board.mutex on a device's thread: the next extranonce2 of the device's range.
std::optional<DeviceJob> make_pool_job(PoolSource& source, const PoolWork& work, std::size_t device) {
  if (source.ranges_size != work.extranonce2_size) {
    source.ranges_size = work.extranonce2_size;
    source.ranges.clear();
    for (std::size_t index = 0; index < source.workers.size(); ++index) {
      source.ranges.push_back(extranonce2_range(work.extranonce2_size, static_cast<int>(index),
                                                static_cast<int>(source.workers.size())));
    }
    source.next_offsets.assign(source.workers.size(), 0);
  }
  const Extranonce2Range& range = source.ranges[device];
  if (range.count == 0) return std::nullopt;  // more devices than extranonce2 values
  const ByteVector extranonce2 =
      extranonce2_bytes(range.first + source.next_offsets[device]++ % range.count, work.extranonce2_size);

  PoolJob pool_job;
  pool_job.tip = work.tip;
  pool_job.job_id = work.job.job_id;
  pool_job.extranonce1 = work.extranonce1;
  pool_job.extranonce2_text = hex_encode(extranonce2.data(), extranonce2.size());
  pool_job.time_text = work.job.time_text;
  const ByteVector coinbase = assemble_coinbase(work.job, work.extranonce1, extranonce2);
  pool_job.header = job_header(work.job, merkle_root_from_branch(coinbase, work.job.merkle_branch));
  pool_job.share_target = share_target(work.difficulty);
  pool_job.block_target = target_from_bits(work.job.bits);

  DeviceJob job;
  job.id = source.next_job_id++;
  job.tip = work.tip;
  job.header = pool_job.header;
  job.midstate = compute_midstate(job.header);
  // The device reports hashes that meet either target: a block is never missed, even from a
  // pool whose share difficulty is above the network's.
  job.target = easier(pool_job.block_target, pool_job.share_target) ? pool_job.block_target : pool_job.share_target;
  source.jobs.emplace(job.id, std::move(pool_job));
  while (source.jobs.size() > kept_jobs_limit) source.jobs.erase(source.jobs.begin());
  return job;
}

// Makes the session's latest job the devices' work. A clean job makes every running one stale
// at once; otherwise devices take it at their next job boundary.
void publish_job(PoolSource& source, bool clean) {
  const StratumSession& session = source.session;
  if (!session.job || !session_ready(session)) return;
  if (clean) ++source.tip;
  auto work = std::make_shared<const PoolWork>(
      PoolWork{source.tip, *session.job, session.extranonce1, session.extranonce2_size, session.difficulty});
  publish_work(source.board, [&source, work](std::size_t device) { return make_pool_job(source, *work, device); },
               source.tip);
  if (work->job.job_id != source.published_job_id) {
    source.published_job_id = work->job.job_id;
    char line[160];
    std::snprintf(line, sizeof line, "  [*] Mining job %s, share difficulty %g\n",
                  printable_pool_text(work->job.job_id, 40).c_str(), work->difficulty);
    say(source, line);
  }
}

void forget_connection(PoolSource& source) {
  session_disconnected(source.session);
  source.session_ready = false;
}

void connection_lost(PoolSource& source, const std::string& reason, bool was_connected, std::int64_t now) {
  const std::string url = source.pools[source.failover.current].url;
  forget_connection(source);
  if (was_connected) {
    failover_connection_lost(source.failover, now);
  } else {
    failover_connect_failed(source.failover, now);
  }
  const int pause = reconnect_pause_seconds(source.failover.failed_attempts);
  const std::string next = source.pools[source.failover.current].url;
  source.pool_stats.last_failure = url + ": " + reason;
  source.pool_stats.last_failure_time = unix_time_now();
  say(source, "  [!] Pool " + url + ": " + reason + "; trying " + (next == url ? "again" : next) + " in " +
                  std::to_string(pause) + " s\n");
}

void handle_reconnect_request(PoolSource& source, const StratumActions::Reconnect& request, std::int64_t now) {
  PoolEndpoint& pool = source.pools[source.failover.current];
  // Only the same host: a pool must not be able to send a rig's worker name and password
  // elsewhere.
  if (!request.host.empty() && request.host != pool.host) {
    say(source, "  [!] Pool " + pool.url + " asked to move to " + printable_pool_text(request.host) + "; staying\n");
    return;
  }
  if (request.port != 0) pool.port = request.port;
  connection_close(*source.connection);
  forget_connection(source);
  failover_reconnect_requested(source.failover, request.wait_seconds, now);
  say(source, "  [*] Pool " + pool.url + " asked to reconnect" +
                  (request.port != 0 ? " on port " + std::to_string(request.port) : std::string()) + "\n");
}

void apply_actions(PoolSource& source, const StratumActions& actions, double previous_difficulty, std::int64_t now) {
  for (const std::string& line : actions.send) connection_send(*source.connection, line);
  for (const std::string& line : actions.console) say(source, line);
  for (const ShareVerdict& verdict : actions.verdicts) {
    source.share_results.push_back({verdict.device, verdict.accepted});
    if (!verdict.accepted) {
      source.pool_stats.last_rejection = verdict.reason;
      source.pool_stats.last_rejection_time = unix_time_now();
    }
  }
  if (actions.close_as_failed) {
    connection_close(*source.connection);
    connection_lost(source, *actions.close_as_failed, false, now);
    return;
  }
  if (session_ready(source.session) && !source.session_ready) {
    source.session_ready = true;
    failover_session_ready(source.failover);
  }
  if (actions.new_job) {
    publish_job(source, actions.clean);
  } else if (source.session.difficulty != previous_difficulty) {
    publish_job(source, false);  // the new difficulty applies from the devices' next jobs
  }
  if (actions.reconnect) handle_reconnect_request(source, *actions.reconnect, now);
}

void poll_probe(PoolSource& source, std::int64_t now) {
  if (!connection_is_active(*source.probe) && failover_probe_due(source.failover, now)) {
    connection_open(*source.probe, source.pools[0].host, source.pools[0].port);
  }
  for (const ConnectionEvent& event : connection_take_events(*source.probe, events_per_round)) {
    if (event.kind == ConnectionEvent::Kind::line) continue;
    const bool reachable = event.kind == ConnectionEvent::Kind::connected;
    connection_close(*source.probe);
    if (failover_probe_result(source.failover, reachable, now)) {
      say(source, "  [*] Pool " + source.pools[0].url + " is back; returning to it\n");
      connection_close(*source.connection);
      forget_connection(source);
      failover_return_to_first(source.failover, now);
    }
    break;  // the probe is closed: whatever else was taken belongs to it
  }
}

// Connects when due, hands what the pool sent to the session, and watches for silence. True
// when events are left for the next round.
bool network_step(PoolSource& source) {
  std::int64_t now = monotonic_now_ns();
  if (!connection_is_active(*source.connection) && now >= source.failover.next_attempt_ns) {
    const PoolEndpoint& pool = source.pools[source.failover.current];
    source.session.pool_name = pool.url;
    connection_open(*source.connection, pool.host, pool.port);
  }
  // One event at a time: handling one may close the connection, and the rest then goes with it.
  std::size_t handled = 0;
  for (; handled < events_per_round && (source.winding_down || !g_stop_requested); ++handled) {
    const std::vector<ConnectionEvent> events = connection_take_events(*source.connection, 1);
    if (events.empty()) break;
    const ConnectionEvent& event = events.front();
    now = monotonic_now_ns();
    const double difficulty = source.session.difficulty;
    switch (event.kind) {
      case ConnectionEvent::Kind::connected:
        source.last_received = now;
        apply_actions(source, session_connected(source.session), difficulty, now);
        break;
      case ConnectionEvent::Kind::line:
        source.last_received = now;
        apply_actions(source, session_receive(source.session, read_stratum_message(event.text)), difficulty, now);
        break;
      case ConnectionEvent::Kind::closed:
        connection_lost(source, event.text, event.was_connected, now);
        break;
    }
  }
  now = monotonic_now_ns();
  if (connection_is_up(*source.connection) && pool_went_silent(source.last_received, now)) {
    connection_close(*source.connection);
    connection_lost(source, "nothing received for " + std::to_string(pool_silence_seconds) + " s", true, now);
  }
  poll_probe(source, now);
  return handled == events_per_round;
}

// Re-checks a found nonce on the CPU and hands the share to the session.
void handle_found(PoolSource& source, const FoundNonce& found) {
  std::optional<PoolJob> job;
  {
    std::lock_guard lock(source.board.mutex);
    const auto entry = source.jobs.find(found.job_id);
    if (entry != source.jobs.end()) job = entry->second;
  }
  if (!job) return;
  store_u32_le(job->header.data() + header_nonce_offset, found.nonce);
  const PowHash hash = pow_hash(job->header);
  const bool is_share = hash_meets_target(hash, job->share_target);
  const bool is_block = hash_meets_target(hash, job->block_target);
  const std::int32_t device_id = source.device_ids[found.device];
  if (!is_share && !is_block) {
    say(source, "  [!] CPU rejected hash (device " + std::to_string(device_id) + ")\n");
    return;
  }
  if (is_block) {
    say(source, "\n  [*] BLOCK FOUND! Nonce=" + std::to_string(found.nonce) + " Hash=" +
                    hex_encode(hash.data(), hash.size()) + " (a share; the pool submits the block)\n");
  }
  FoundShare share{device_id,  job->job_id,        job->extranonce1, job->extranonce2_text,
                   job->time_text, nonce_text(found.nonce), is_block};
  const double difficulty = source.session.difficulty;
  apply_actions(source, session_share_found(source.session, std::move(share)), difficulty, monotonic_now_ns());
  if (!session_ready(source.session)) say(source, "  [*] Share kept until the pool is back\n");
}

void print_status(PoolSource& source, std::int64_t now) {
  const double seconds = elapsed_seconds(source.start_time, now);
  const StratumSession& session = source.session;
  std::string line = "\r  [" + format_hash_rate(static_cast<double>(total_hashes(source)) / seconds) + "]";
  char figures[160];
  std::snprintf(figures, sizeof figures, " diff=%g acc=%llu rej=%llu stale=%llu blk=%llu", session.difficulty,
                static_cast<unsigned long long>(session.accepted), static_cast<unsigned long long>(session.rejected),
                static_cast<unsigned long long>(session.stale), static_cast<unsigned long long>(session.blocks));
  line += figures;
  if (source.workers.size() > 1) {
    for (std::size_t index = 0; index < source.workers.size(); ++index) {
      line += "  #" + std::to_string(source.device_ids[index]) + " " +
              format_hash_rate(static_cast<double>(source.workers[index]->stats.hashes.load()) / seconds);
    }
  }
  std::printf("%s   ", line.c_str());
  std::fflush(stdout);
  source.progress_line_open = true;
  source.last_status = now;
}

// The pool's state and the session's counts, for the monitoring API.
void publish_pool_stats(PoolSource& source) {
  PoolStats& pool = source.pool_stats;
  const StratumSession& session = source.session;
  pool.url = source.pools[source.failover.current].url;
  pool.connected = source.session_ready && connection_is_up(*source.connection);
  pool.authorized = pool.connected && session.authorized;
  pool.difficulty = session.difficulty;
  pool.shares_accepted = session.accepted;
  pool.shares_rejected = session.rejected;
  pool.shares_stale = session.stale;
  pool.block_shares = session.blocks;
  stats_set_pool(*source.stats, pool, source.share_results);
  source.share_results.clear();
}

// One round of the pool's thread: found nonces, network, status line. Waits for news first,
// unless the last round left events behind; true when this one did.
bool serve(PoolSource& source, bool events_left) {
  const SourceEvents events =
      wait_for_source_events(source.board, events_left ? std::chrono::milliseconds(0) : news_wait);
  for (const FoundNonce& found : events.found) handle_found(source, found);
  const bool left = network_step(source);
  const std::int64_t now = monotonic_now_ns();
  if (source.session.job && elapsed_seconds(source.last_status, now) >= status_interval_seconds) {
    print_status(source, now);
  }
  publish_pool_stats(source);
  return left;
}

}  // namespace

std::optional<PoolLogin> pool_login(const MinerOptions& options) {
  PoolLogin login;
  for (const std::string& url : options.pool_urls) {
    const auto pool = parse_pool_url(url);
    if (!pool) {
      std::printf("  [!] Bad pool URL: %s (expected stratum+tcp://HOST:PORT)\n", url.c_str());
      return std::nullopt;
    }
    login.pools.push_back(*pool);
  }
  // Pools usually take the payout address as the worker name.
  login.user = options.rpc_user.empty() ? options.address : options.rpc_user;
  login.password = options.rpc_password.empty() ? "x" : options.rpc_password;
  if (login.pools.empty() || login.user.empty()) {
    std::printf("  [!] Pool worker required (-u WORKER, usually the payout address)\n");
    return std::nullopt;
  }
  return login;
}

int run_pool_mining(const PoolLogin& login, const MinerOptions& options, const std::vector<MiningDevice>& devices,
                    MiningStats& stats) {
  PoolSource source;
  source.stats = &stats;
  source.pools = login.pools;
  source.session.user = login.user;
  source.session.password = login.password;
  source.failover.pool_count = source.pools.size();
  std::printf("  [*] Pool mining as \"%s\" on %zu pool%s, first %s\n", source.session.user.c_str(),
              source.pools.size(), source.pools.size() == 1 ? "" : "s", source.pools[0].url.c_str());
  // The connections' threads wake this one's wait when a pool has news.
  source.connection = connection_create([&board = source.board] { poke_source(board); });
  source.probe = connection_create([&board = source.board] { poke_source(board); });
  source.start_time = source.last_status = monotonic_now_ns();
  stats_start(stats, source.start_time);
  source.pool_stats.worker = source.session.user;
  publish_pool_stats(source);
  add_device_workers(devices, source.workers, source.device_ids);
  source.last_launch_end.assign(devices.size(), source.start_time);
  add_devices_to_stats(stats, options.platform_id, devices);
  for (auto& worker : source.workers) {
    start_device(*worker, source.board,
                 [&source](std::size_t device, const DeviceJob&, std::uint32_t, std::uint32_t done) {
                   record_launch(*source.stats, source.device_ids[device], source.last_launch_end[device], done);
                 });
  }

  bool events_left = false;
  while (!g_stop_requested && !every_device_lost(source.workers, source.device_ids, source.lost_reported, stats)) {
    events_left = serve(source, events_left);
  }

  stop_device_workers(source.board, source.workers);
  if (every_device_lost(source.workers, source.device_ids, source.lost_reported, stats)) {
    print_devices_lost(source.workers);
    connection_destroy(source.probe);
    connection_destroy(source.connection);
    release_devices(devices);
    return 1;
  }
  // Nonces found in the last batches, and answers to shares already sent, still count. The board
  // is closed now, so only the connections' pokes end a wait.
  source.winding_down = true;
  const std::int64_t stop_time = monotonic_now_ns();
  events_left = serve(source, true);
  while (!source.session.submitted.empty() && connection_is_up(*source.connection) &&
         elapsed_seconds(stop_time, monotonic_now_ns()) < final_answer_wait_seconds) {
    if (!events_left) wait_for_poke(source.board, std::chrono::steady_clock::now() + news_wait);
    events_left = serve(source, true);
  }

  const StratumSession& session = source.session;
  std::printf("\n  [*] Done. %llu hashes, %llu shares accepted, %llu rejected, %llu blocks\n",
              static_cast<unsigned long long>(total_hashes(source)), static_cast<unsigned long long>(session.accepted),
              static_cast<unsigned long long>(session.rejected), static_cast<unsigned long long>(session.blocks));
  std::printf("%s\n", run_summary_line(total_hashes(source), elapsed_seconds(source.start_time, monotonic_now_ns())).c_str());
  connection_destroy(source.probe);
  connection_destroy(source.connection);
  release_devices(devices);
  return 0;
}
