#include "driver/api_startup.h"

#include <chrono>

#include "run/monotonic_clock.h"

bool start_monitoring_api(const MinerOptions& options, const Timings& timings, MiningStats& stats,
                          ApiServerHandle& server, ConsoleWriter& console) {
  if (options.api_listen.empty()) return true;
  const auto address = parse_api_listen(options.api_listen);
  if (!address) {
    console_say(console, "  [!] Bad --api-listen value \"" + options.api_listen +
                             "\": expected [HOST:]PORT, for example 4068 or 0.0.0.0:4068\n");
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
    console_say(console, "  [!] API not started: " + error + "; mining goes on without it\n");
    return true;
  }
  const std::string where = format_host_port(address->host, api_server_port(*server));
  console_say(console, "  [*] API listening on http://" + where + "/\n");
  if (!is_loopback_host(address->host)) {
    console_say(console, "  [!] WARNING: the API on " + where +
                             " is reachable from the network; it is read-only and shows no credentials, but anyone "
                             "who can reach this machine can read it\n");
  }
  return true;
}
