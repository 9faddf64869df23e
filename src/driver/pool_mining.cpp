#include "driver/pool_mining.h"

#include <cstdio>
#include <string>
#include <vector>

#include "chain/hex.h"
#include "driver/console.h"
#include "driver/hash_rate.h"
#include "driver/monotonic_clock.h"
#include "pow/block_header.h"
#include "pow/target.h"
#include "stratum/pool_failover.h"
#include "stratum/stratum_connection.h"
#include "stratum/stratum_message.h"
#include "stratum/stratum_session.h"
#include "stratum/stratum_work.h"

namespace {

constexpr int idle_poll_milliseconds = 250;
constexpr double status_interval_seconds = 5.0;
// After a stop, answers to shares already sent are awaited this long so the counts include them.
constexpr int final_answer_wait_milliseconds = 2000;
constexpr std::int64_t nanoseconds_per_millisecond = 1'000'000;

// What the device searches: one job with one extranonce2, and the targets to judge hits by.
struct PoolWork {
  bool active = false;
  StratumJob job;
  ByteVector extranonce1;
  std::string extranonce2_text;
  BlockHeader header{};
  Midstate midstate;
  Target256 share_target;
  Target256 block_target;
  double difficulty = 0;
  std::uint32_t nonce = 0;
};

struct PoolMining {
  GpuMiner* gpu = nullptr;
  std::vector<PoolEndpoint> pools;
  StratumSession session;
  PoolFailover failover;
  StratumConnection* connection = nullptr;
  StratumConnection* probe = nullptr;  // checks whether the first pool is back, while on a failover
  std::int64_t last_received = 0;
  bool session_ready = false;  // the current connection has delivered a job

  // The device's share of extranonce2 values; the offset only grows, so no header repeats,
  // not even when a pool sends a job again after a reconnect.
  Extranonce2Range extranonce2_range;
  std::int32_t range_size = -1;
  std::uint64_t extranonce2_offset = 0;

  PoolWork work;
  std::uint64_t total_hashes = 0;
  std::int64_t start_time = 0;
  std::int64_t last_status = 0;
  bool progress_line_open = false;
};

// Console lines after a progress line start on a line of their own.
void say(PoolMining& mining, const std::string& line) {
  if (mining.progress_line_open) std::fputs("\n", stdout);
  mining.progress_line_open = false;
  std::fputs(line.c_str(), stdout);
}

bool easier(const Target256& a, const Target256& b) {
  for (std::size_t limb = 4; limb-- > 0;) {
    if (a.limbs[limb] != b.limbs[limb]) return a.limbs[limb] > b.limbs[limb];
  }
  return false;
}

// Takes the latest job with the next extranonce2 of this device's range and hands it to the GPU.
void start_work(PoolMining& mining) {
  StratumSession& session = mining.session;
  if (!session.job) {
    mining.work.active = false;
    return;
  }
  if (mining.range_size != session.extranonce2_size) {
    mining.range_size = session.extranonce2_size;
    mining.extranonce2_range = extranonce2_range(session.extranonce2_size, 0, 1);
    mining.extranonce2_offset = 0;
  }
  const Extranonce2Range& range = mining.extranonce2_range;
  const bool new_job = !mining.work.active || mining.work.job.job_id != session.job->job_id ||
                       mining.work.extranonce1 != session.extranonce1;
  PoolWork work;
  work.active = true;
  work.job = *session.job;
  work.extranonce1 = session.extranonce1;
  const ByteVector extranonce2 = extranonce2_bytes(
      range.first + (range.count == 0 ? 0 : mining.extranonce2_offset++ % range.count), session.extranonce2_size);
  work.extranonce2_text = hex_encode(extranonce2.data(), extranonce2.size());
  const ByteVector coinbase = assemble_coinbase(work.job, work.extranonce1, extranonce2);
  work.header = job_header(work.job, merkle_root_from_branch(coinbase, work.job.merkle_branch));
  work.midstate = compute_midstate(work.header);
  work.difficulty = session.difficulty;
  work.share_target = share_target(session.difficulty);
  work.block_target = target_from_bits(work.job.bits);
  // The device reports hashes that meet either target: a block is never missed, even from a
  // pool whose share difficulty is above the network's.
  const Target256 device_target = easier(work.block_target, work.share_target) ? work.block_target : work.share_target;
  gpu_set_job(*mining.gpu, work.midstate.state, device_target);
  mining.work = std::move(work);
  if (new_job) {
    char line[160];
    std::snprintf(line, sizeof line, "  [*] Mining job %.40s, share difficulty %g\n", mining.work.job.job_id.c_str(),
                  mining.work.difficulty);
    say(mining, line);
  }
}

void apply_actions(PoolMining& mining, const StratumActions& actions, std::int64_t now);

void connection_lost(PoolMining& mining, const std::string& reason, bool was_connected, std::int64_t now) {
  const std::string url = mining.pools[mining.failover.current].url;
  session_disconnected(mining.session);
  mining.session_ready = false;
  if (was_connected) {
    failover_connection_lost(mining.failover, now);
  } else {
    failover_connect_failed(mining.failover, now);
  }
  const int pause = reconnect_pause_seconds(mining.failover.failed_attempts);
  const std::string next = mining.pools[mining.failover.current].url;
  say(mining, "  [!] Pool " + url + ": " + reason + "; trying " + (next == url ? "again" : next) + " in " +
                  std::to_string(pause) + " s\n");
}

void handle_reconnect_request(PoolMining& mining, const StratumActions::Reconnect& request, std::int64_t now) {
  PoolEndpoint& pool = mining.pools[mining.failover.current];
  // Only the same host: a pool must not be able to send a rig's worker name and password
  // elsewhere.
  if (!request.host.empty() && request.host != pool.host) {
    say(mining, "  [!] Pool " + pool.url + " asked to move to " + request.host + "; staying\n");
    return;
  }
  if (request.port != 0) pool.port = request.port;
  connection_close(*mining.connection);
  session_disconnected(mining.session);
  mining.session_ready = false;
  failover_reconnect_requested(mining.failover, request.wait_seconds, now);
  say(mining, "  [*] Pool " + pool.url + " asked to reconnect" +
                  (request.port != 0 ? " on port " + std::to_string(request.port) : std::string()) + "\n");
}

void apply_actions(PoolMining& mining, const StratumActions& actions, std::int64_t now) {
  for (const std::string& line : actions.send) connection_send(*mining.connection, line);
  for (const std::string& line : actions.console) say(mining, line);
  if (mining.session.job_since_connect && !mining.session_ready) {
    mining.session_ready = true;
    failover_session_ready(mining.failover);
  }
  // A job without clean_jobs waits for the current nonce space to end (start_work takes the latest).
  if (actions.new_job && (actions.clean || !mining.work.active)) start_work(mining);
  if (actions.reconnect) handle_reconnect_request(mining, *actions.reconnect, now);
}

void poll_probe(PoolMining& mining, std::int64_t now) {
  if (!connection_is_active(*mining.probe) && failover_probe_due(mining.failover, now)) {
    connection_open(*mining.probe, mining.pools[0].host, mining.pools[0].port);
  }
  for (const ConnectionEvent& event : connection_poll(*mining.probe, 0)) {
    if (event.kind == ConnectionEvent::Kind::line) continue;
    const bool reachable = event.kind == ConnectionEvent::Kind::connected;
    connection_close(*mining.probe);
    if (failover_probe_result(mining.failover, reachable, now)) {
      say(mining, "  [*] Pool " + mining.pools[0].url + " is back; returning to it\n");
      connection_close(*mining.connection);
      session_disconnected(mining.session);
      mining.session_ready = false;
      failover_return_to_first(mining.failover, now);
    }
  }
}

// Connects when due, hands what the pool sent to the session, and watches for silence.
void network_step(PoolMining& mining, int wait_milliseconds) {
  std::int64_t now = monotonic_now_ns();
  if (!connection_is_active(*mining.connection) && now >= mining.failover.next_attempt_ns) {
    const PoolEndpoint& pool = mining.pools[mining.failover.current];
    mining.session.pool_name = pool.url;
    connection_open(*mining.connection, pool.host, pool.port);
  }
  for (const ConnectionEvent& event : connection_poll(*mining.connection, wait_milliseconds)) {
    now = monotonic_now_ns();
    switch (event.kind) {
      case ConnectionEvent::Kind::connected:
        mining.last_received = now;
        apply_actions(mining, session_connected(mining.session), now);
        break;
      case ConnectionEvent::Kind::line:
        mining.last_received = now;
        apply_actions(mining, session_receive(mining.session, read_stratum_message(event.text)), now);
        break;
      case ConnectionEvent::Kind::closed:
        connection_lost(mining, event.text, event.was_connected, now);
        break;
    }
    if (!connection_is_active(*mining.connection)) break;  // the rest belongs to a closed connection
  }
  now = monotonic_now_ns();
  if (connection_is_up(*mining.connection) && pool_went_silent(mining.last_received, now)) {
    connection_close(*mining.connection);
    connection_lost(mining, "nothing received for " + std::to_string(pool_silence_seconds) + " s", true, now);
  }
  poll_probe(mining, now);
}

void handle_hit(PoolMining& mining, std::uint32_t nonce) {
  PoolWork& work = mining.work;
  store_u32_le(work.header.data() + header_nonce_offset, nonce);
  const PowHash hash = pow_hash(work.header);
  const bool is_share = hash_meets_target(hash, work.share_target);
  const bool is_block = hash_meets_target(hash, work.block_target);
  if (!is_share && !is_block) {
    say(mining, "  [!] CPU rejected hash\n");
    return;
  }
  if (is_block) {
    say(mining, "\n  [*] BLOCK FOUND! Nonce=" + std::to_string(nonce) + " Hash=" + hex_encode(hash.data(), hash.size()) +
                    " (a share; the pool submits the block)\n");
  }
  FoundShare share{0, work.job.job_id, work.extranonce1, work.extranonce2_text, work.job.time_text, nonce_text(nonce),
                   is_block};
  apply_actions(mining, session_share_found(mining.session, std::move(share)), monotonic_now_ns());
  if (!mining.session.job_since_connect) say(mining, "  [*] Share kept until the pool is back\n");
}

void print_status(PoolMining& mining, std::int64_t now) {
  const double rate = static_cast<double>(mining.total_hashes) / elapsed_seconds(mining.start_time, now);
  const StratumSession& session = mining.session;
  std::printf("\r  [%s] diff=%g acc=%llu rej=%llu stale=%llu blk=%llu   ", format_hash_rate(rate).c_str(),
              mining.work.difficulty, static_cast<unsigned long long>(session.accepted),
              static_cast<unsigned long long>(session.rejected), static_cast<unsigned long long>(session.stale),
              static_cast<unsigned long long>(session.blocks));
  std::fflush(stdout);
  mining.progress_line_open = true;
  mining.last_status = now;
}

void run_batch(PoolMining& mining) {
  PoolWork& work = mining.work;
  const BatchResult batch = gpu_run_batch(*mining.gpu, work.midstate.tail0, work.midstate.tail1, work.nonce);
  mining.total_hashes += batch.nonces_done;
  work.nonce += batch.nonces_done;  // wraps modulo 2^32
  if (batch.found) handle_hit(mining, batch.nonce);
  const std::int64_t now = monotonic_now_ns();
  if (elapsed_seconds(mining.last_status, now) >= status_interval_seconds) print_status(mining, now);
  // The nonce space of this extranonce2 is used up: the next one, or the job that was waiting.
  if (work.nonce < batch.nonces_done) start_work(mining);
}

}  // namespace

int run_pool_mining(const MinerOptions& options, GpuMiner* gpu) {
  PoolMining mining;
  mining.gpu = gpu;
  for (const std::string& url : options.pool_urls) {
    const auto pool = parse_pool_url(url);
    if (!pool) {
      std::printf("  [!] Bad pool URL: %s (expected stratum+tcp://HOST:PORT)\n", url.c_str());
      gpu_miner_release(gpu);
      return 1;
    }
    mining.pools.push_back(*pool);
  }
  // Pools usually take the payout address as the worker name.
  mining.session.user = options.rpc_user.empty() ? options.address : options.rpc_user;
  mining.session.password = options.rpc_password.empty() ? "x" : options.rpc_password;
  if (mining.pools.empty() || mining.session.user.empty()) {
    std::printf("  [!] Pool worker required (-u WORKER, usually the payout address)\n");
    gpu_miner_release(gpu);
    return 1;
  }
  mining.failover.pool_count = mining.pools.size();
  std::printf("  [*] Pool mining as \"%s\" on %zu pool%s, first %s\n", mining.session.user.c_str(), mining.pools.size(),
              mining.pools.size() == 1 ? "" : "s", mining.pools[0].url.c_str());
  mining.connection = connection_create();
  mining.probe = connection_create();
  mining.start_time = mining.last_status = monotonic_now_ns();

  while (!g_stop_requested) {
    network_step(mining, mining.work.active ? 0 : idle_poll_milliseconds);
    if (mining.work.active) run_batch(mining);
  }

  // Shares already sent: their answers are part of the final count.
  const std::int64_t stop_time = monotonic_now_ns();
  while (!mining.session.submitted.empty() && connection_is_up(*mining.connection) &&
         monotonic_now_ns() - stop_time < final_answer_wait_milliseconds * nanoseconds_per_millisecond) {
    network_step(mining, 50);
  }
  const StratumSession& session = mining.session;
  std::printf("\n  [*] Done. %llu hashes, %llu shares accepted, %llu rejected, %llu blocks\n",
              static_cast<unsigned long long>(mining.total_hashes), static_cast<unsigned long long>(session.accepted),
              static_cast<unsigned long long>(session.rejected), static_cast<unsigned long long>(session.blocks));
  connection_destroy(mining.probe);
  connection_destroy(mining.connection);
  gpu_miner_release(gpu);
  return 0;
}
