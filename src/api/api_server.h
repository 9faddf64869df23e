#pragma once
// The read-only monitoring API over HTTP: GET and HEAD of /, /api/summary, /api/history and
// /metrics. It runs on threads of its own and reads the statistics only through the snapshot
// function, so a slow or hostile client never holds up mining.

#include <functional>
#include <memory>
#include <string>

#include "api/api_listen.h"
#include "stats/mining_stats.h"

// Limits that keep a client from tying the server up for long.
inline constexpr int api_worker_threads = 4;
inline constexpr int api_queued_connections = 8;  // accepted but waiting for a worker
inline constexpr int api_requests_per_connection = 20;
inline constexpr std::size_t api_max_request_bytes = 64 * 1024;  // request line and headers
inline constexpr std::size_t api_max_body_bytes = 1024;

// The server's timers; tests shorten them. A connection holds a worker for connection_seconds
// at most, and while another client waits for a worker, only as long as it takes to read and
// answer the request under way.
struct ApiServerLimits {
  double request_seconds = 2;      // to read a request, from the first wait for it to its last header
  double write_seconds = 5;        // each wait for room to write an answer
  double keep_alive_seconds = 5;   // an open connection between requests, while no other client waits
  double connection_seconds = 10;  // a connection in all
};

struct ApiServer;  // the HTTP server and its listening thread
struct ApiServerDeleter {
  void operator()(ApiServer* server) const noexcept;  // stops the server and joins its threads
};
using ApiServerHandle = std::unique_ptr<ApiServer, ApiServerDeleter>;

using SnapshotSource = std::function<StatsSnapshot()>;

// Binds the address and serves from then on. Returns nullptr and sets error when the address
// cannot be bound.
ApiServerHandle api_server_start(const ApiListenAddress& address, const ApiServerLimits& limits, SnapshotSource snapshot,
                                 std::string& error);

// The bound port (the one the system picked when the address asked for port 0).
int api_server_port(const ApiServer& server);
