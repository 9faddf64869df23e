#include "stratum/pool_failover.h"

#include <algorithm>
#include <charconv>

namespace {

constexpr std::int64_t nanoseconds_per_second = 1'000'000'000;

std::int64_t seconds(double count) { return static_cast<std::int64_t>(count * nanoseconds_per_second); }

}  // namespace

namespace {

constexpr std::string_view plain_scheme = "stratum+tcp://";
constexpr std::string_view tls_schemes[] = {"stratum+ssl://", "stratum+tls://"};

bool starts_with_tls_scheme(std::string_view url) {
  for (const std::string_view scheme : tls_schemes) {
    if (url.starts_with(scheme)) return true;
  }
  return false;
}

// "stratum+tcp://", "stratum+ssl://" or "stratum+tls://": all three are equally long.
constexpr std::size_t scheme_length = plain_scheme.size();
static_assert(tls_schemes[0].size() == scheme_length && tls_schemes[1].size() == scheme_length);

}  // namespace

bool is_pool_url(std::string_view url) { return url.starts_with(plain_scheme) || starts_with_tls_scheme(url); }

std::optional<PoolEndpoint> parse_pool_url(std::string_view url) {
  if (!is_pool_url(url)) return std::nullopt;
  std::string_view rest = url.substr(scheme_length);
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  std::string_view host;
  std::string_view port_text;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return std::nullopt;
    host = rest.substr(1, close - 1);
    port_text = rest.substr(close + 2);
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = rest.substr(0, colon);
    port_text = rest.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) return std::nullopt;  // IPv6 needs brackets
  }
  // "user:password@" is not taken: the worker and password are given apart.
  if (host.empty() || host.find_first_of("/ @") != std::string_view::npos) return std::nullopt;
  unsigned port = 0;
  const auto [end, error] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (error != std::errc() || end != port_text.data() + port_text.size() || port == 0 || port > 65535) {
    return std::nullopt;
  }
  PoolEndpoint pool;
  pool.url = url;
  pool.host = host;
  pool.port = static_cast<std::uint16_t>(port);
  pool.tls = starts_with_tls_scheme(url);
  return pool;
}

std::string pool_url_on_port(const PoolEndpoint& pool, std::uint16_t port) {
  if (port == pool.port) return pool.url;
  const bool ipv6 = pool.host.find(':') != std::string::npos;
  return pool.url.substr(0, scheme_length) + (ipv6 ? "[" + pool.host + "]" : pool.host) + ":" + std::to_string(port);
}

double reconnect_pause_seconds(const FailoverTimings& timings, int failed_attempts) {
  if (failed_attempts <= 0) return 0;
  double pause = timings.first_reconnect_pause;
  for (int attempt = 1; attempt < failed_attempts && pause < timings.longest_reconnect_pause; ++attempt) pause *= 2;
  return std::min(pause, timings.longest_reconnect_pause);
}

void failover_attempt_failed(PoolFailover& failover, std::int64_t now_ns) {
  ++failover.failed_attempts;
  failover.next_attempt_ns = now_ns + seconds(reconnect_pause_seconds(failover.timings, failover.failed_attempts));
  if (++failover.failed_on_current < failed_attempts_per_pool) return;
  failover.failed_on_current = 0;
  failover.current = (failover.current + 1) % std::max<std::size_t>(failover.pool_count, 1);
  failover.primary_back_since.reset();
  failover.next_probe_ns = failover.next_attempt_ns + seconds(failover.timings.primary_probe);
}

void failover_connection_lost(PoolFailover& failover, std::int64_t now_ns) {
  failover.failed_on_current = 0;
  ++failover.failed_attempts;
  failover.next_attempt_ns = now_ns + seconds(reconnect_pause_seconds(failover.timings, failover.failed_attempts));
}

void failover_session_ready(PoolFailover& failover) { failover.failed_attempts = 0; }

double failover_reconnect_requested(PoolFailover& failover, double wait_seconds, std::int64_t now_ns) {
  const bool repeated = failover.last_reconnect_request_ns &&
                        now_ns - *failover.last_reconnect_request_ns <= seconds(failover.timings.reconnect_repeat);
  failover.reconnect_requests = repeated ? failover.reconnect_requests + 1 : 1;
  failover.last_reconnect_request_ns = now_ns;
  const double pause = std::max(std::clamp(wait_seconds, 0.0, failover.timings.longest_reconnect_pause),
                                reconnect_pause_seconds(failover.timings, failover.reconnect_requests));
  failover.next_attempt_ns = now_ns + seconds(pause);
  return pause;
}

bool failover_probe_due(const PoolFailover& failover, std::int64_t now_ns) {
  return failover.current != 0 && now_ns >= failover.next_probe_ns;
}

bool failover_probe_result(PoolFailover& failover, bool reachable, std::int64_t now_ns) {
  failover.next_probe_ns = now_ns + seconds(failover.timings.primary_probe);
  if (!reachable) {
    failover.primary_back_since.reset();
    return false;
  }
  if (!failover.primary_back_since) failover.primary_back_since = now_ns;
  return now_ns - *failover.primary_back_since >= seconds(failover.timings.primary_back);
}

void failover_return_to_first(PoolFailover& failover, std::int64_t now_ns) {
  failover.current = 0;
  failover.failed_attempts = 0;
  failover.failed_on_current = 0;
  failover.primary_back_since.reset();
  failover.next_attempt_ns = now_ns;
}

bool pool_went_silent(const FailoverTimings& timings, std::int64_t last_received_ns, std::int64_t now_ns) {
  return now_ns - last_received_ns >= seconds(timings.silence);
}
