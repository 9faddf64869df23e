#include "driver/api_startup.h"

#include <chrono>
#include <cstdio>

#include "run/monotonic_clock.h"

bool start_monitoring_api(const MinerOptions& options, const Timings& timings, MiningStats& stats,
                          ApiServerHandle& server) {
  if (options.api_listen.empty()) return true;
  const auto address = parse_api_listen(options.api_listen);
  if (!address) {
    std::printf("  [!] Bad --api-listen value \"%s\": expected [HOST:]PORT, for example 4068 or 0.0.0.0:4068\n",
                options.api_listen.c_str());
    return false;
  }
  std::string error;
  server = api_server_start(
      *address, ApiServerLimits{.request_seconds = timings.api_request,
                      .write_seconds = timings.api_write,
                      .keep_alive_seconds = timings.api_keep_alive,
                      .connection_seconds = timings.api_connection},
      [&stats] { return stats_snapshot(stats, monotonic_now_ns(), unix_time_now()); },
      error);
  if (!server) {
    std::printf("  [!] API not started: %s; mining goes on without it\n", error.c_str());
    return true;
  }
  const std::string where = format_host_port(address->host, api_server_port(*server));
  std::printf("  [*] API listening on http://%s/\n", where.c_str());
  if (!is_loopback_host(address->host)) {
    std::printf("  [!] WARNING: the API on %s is reachable from the network; it is read-only and shows no "
                "credentials, but anyone who can reach this machine can read it\n",
                where.c_str());
  }
  return true;
}
