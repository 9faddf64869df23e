#pragma once
// Which pool to talk to, and when: pool URLs, the growing pause between connection attempts,
// failover to the next pool, the return to the first one, and the silence that means a pool is
// gone. Times are monotonic nanoseconds passed in by the caller.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A pool: where it is, and who the miner is there.
struct PoolEndpoint {
  std::string url;  // as the user gave it, for console lines
  std::string host;
  std::uint16_t port = 0;
  std::string worker;
  std::string password;
  bool tls = false;  // stratum+ssl:// or stratum+tls://
  std::string tls_fingerprint;  // pinned: SHA-256 of the certificate, 64 lower-case hex digits; empty: none
};

// True for URLs that select pool mining: stratum+tcp://, and over TLS stratum+ssl:// or
// stratum+tls:// (the same), in lower case.
bool is_pool_url(std::string_view url);

// "stratum+tcp://host:port" or the same over TLS (IPv6 as [addr]:port), without worker and
// password; nothing when the host or port is missing or bad.
std::optional<PoolEndpoint> parse_pool_url(std::string_view url);

// The address actually in use: url itself on the pool's own port, else its scheme with
// "host:port" (a port the pool asked for with client.reconnect).
std::string pool_url_on_port(const PoolEndpoint& pool, std::uint16_t port);

// The failover's timers, in seconds.
struct FailoverTimings {
  double first_reconnect_pause = 1;   // doubling after each failed attempt
  double longest_reconnect_pause = 60;
  double primary_back = 60;   // a failover pool is left for the first once the first has been reachable this long
  double primary_probe = 10;  // the first pool is tried this often while a failover pool is in use
  double silence = 180;       // a pool that sends nothing for this long is treated as gone
  double reconnect_repeat = 60;  // a reconnect request this soon after the previous one gets the next longer pause
};

// Failed attempts in a row on one pool before the next pool is tried.
inline constexpr int failed_attempts_per_pool = 2;

struct PoolFailover {
  FailoverTimings timings;
  std::size_t pool_count = 1;
  std::size_t current = 0;
  int failed_attempts = 0;             // attempts in a row, on any pool, that did not reach a ready session
  int failed_on_current = 0;           // failed attempts in a row on the current pool
  std::int64_t next_attempt_ns = 0;    // no connection attempt before this time
  std::optional<std::int64_t> primary_back_since;  // on a failover pool: the first one answers since then
  std::int64_t next_probe_ns = 0;
  int reconnect_requests = 0;  // client.reconnect requests, each within reconnect_repeat of the one before
  std::optional<std::int64_t> last_reconnect_request_ns;
};

// The pause before the next attempt after this many failures: the first pause, doubling, at
// most the longest.
double reconnect_pause_seconds(const FailoverTimings& timings, int failed_attempts);

// A connection attempt failed: it was refused, ended before its session was ready, or the pool
// left a request unanswered too long. The same pool is tried again after the growing pause; after
// failed_attempts_per_pool failures in a row the next pool in the list is tried instead.
void failover_attempt_failed(PoolFailover& failover, std::int64_t now_ns);

// A connection whose session had been ready was lost (or went silent): the same pool is tried
// again, and its count of failed attempts starts again.
void failover_connection_lost(PoolFailover& failover, std::int64_t now_ns);

// The session is ready: the pauses start again from the shortest.
void failover_session_ready(PoolFailover& failover);

// The pool asked to be reconnected to after a wait of its choosing (at most the longest pause).
// The pause is at least the growing pause of the requests in a row, each within reconnect_repeat
// of the one before, so that a pool that keeps asking is not reconnected to ever faster. Returns
// the pause in seconds.
double failover_reconnect_requested(PoolFailover& failover, double wait_seconds, std::int64_t now_ns);

// True when a probe of the first pool is due (only while a failover pool is in use).
bool failover_probe_due(const PoolFailover& failover, std::int64_t now_ns);

// The result of a probe of the first pool. Returns true when it is time to go back to it.
bool failover_probe_result(PoolFailover& failover, bool reachable, std::int64_t now_ns);

// Switches to the first pool at once (after a successful return decision).
void failover_return_to_first(PoolFailover& failover, std::int64_t now_ns);

// True when a connection that last received something at last_received_ns counts as gone.
bool pool_went_silent(const FailoverTimings& timings, std::int64_t last_received_ns, std::int64_t now_ns);
