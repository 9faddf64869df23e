#include "api/api_server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <httplib.h>
#include <mutex>
#include <thread>

#include "api/api_documents.h"
#include "api/connection_stream.h"
#include "api/dashboard_page.h"
#include "api/listen_socket.h"

namespace {

// A connection queue with a bound: when every worker is busy and the queue is full, the
// listening thread waits instead of accepting more, and further clients wait in the system's
// listen backlog. httplib's own pool queues without limit. The number of connections waiting
// for a worker is published for the workers, which let idle connections go while it is not 0.
class BoundedTaskQueue : public httplib::TaskQueue {
 public:
  BoundedTaskQueue(std::size_t workers, std::size_t max_queued, std::atomic<std::size_t>& queued)
      : max_queued_(max_queued), queued_(queued) {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }

  void enqueue(std::function<void()> task) override {
    {
      std::unique_lock lock(mutex_);
      room_.wait(lock, [&] { return tasks_.size() < max_queued_ || shutting_down_; });
      tasks_.push_back(std::move(task));
      queued_ = tasks_.size();
    }
    ready_.notify_one();
  }

  void shutdown() override {
    {
      const std::lock_guard lock(mutex_);
      shutting_down_ = true;
    }
    ready_.notify_all();
    room_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

 private:
  void work() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !tasks_.empty() || shutting_down_; });
        if (tasks_.empty()) return;  // shutting down with nothing left to serve
        task = std::move(tasks_.front());
        tasks_.pop_front();
        queued_ = tasks_.size();
      }
      room_.notify_one();
      task();
    }
  }

  std::size_t max_queued_;
  std::atomic<std::size_t>& queued_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<std::function<void()>> tasks_;
  bool shutting_down_ = false;
  std::vector<std::thread> threads_;
};

SocketClock::duration to_duration(double seconds) {
  return std::chrono::duration_cast<SocketClock::duration>(std::chrono::duration<double>(seconds));
}

// httplib's server with its connections served through ConnectionStream: reading a request has a
// deadline and a size limit, a connection has a deadline, and an idle connection is let go as
// soon as another client waits for a worker.
class DeadlineServer final : public httplib::Server {
 public:
  DeadlineServer(const ApiServerLimits& limits, const std::atomic<std::size_t>& queued)
      : request_time_(to_duration(limits.request_seconds)),
        write_time_(to_duration(limits.write_seconds)),
        keep_alive_time_(to_duration(limits.keep_alive_seconds)),
        connection_time_(to_duration(limits.connection_seconds)),
        queued_(queued) {}

 private:
  bool process_and_close_socket(socket_t socket) override {
    const SocketClock::time_point connection_deadline = SocketClock::now() + connection_time_;
    ConnectionStream stream(socket, connection_deadline, write_time_, api_max_request_bytes);
    // A new connection is expected to bring its request at once: waiting for it counts as reading it.
    for (std::size_t served = 0; served < keep_alive_max_count_ && svr_sock_ != INVALID_SOCKET; ++served) {
      if (served > 0 && !next_request_arrives(stream, connection_deadline)) break;
      stream.start_request(SocketClock::now() + request_time_);
      // Told "Connection: close" when it is the last request or another client waits.
      const bool last = served + 1 == keep_alive_max_count_ || queued_ > 0;
      bool client_closes = false;
      if (!process_request(stream, last, client_closes, ignore_ranges) || client_closes || last) break;
    }
    close_connection_socket(socket);
    return true;
  }

  // Waits for the next request on a kept-alive connection; false when the keep-alive time or the
  // connection's deadline passes first, the server stops, or another client waits for a worker.
  bool next_request_arrives(const ConnectionStream& stream, SocketClock::time_point connection_deadline) const {
    constexpr auto check_interval = std::chrono::milliseconds(50);
    const SocketClock::time_point until = std::min(SocketClock::now() + keep_alive_time_, connection_deadline);
    while (!stream.has_buffered_bytes()) {
      const SocketClock::time_point now = SocketClock::now();
      if (now >= until || svr_sock_ == INVALID_SOCKET || queued_ > 0) return false;
      if (wait_for_socket(stream.socket(), SocketWait::readable, std::min(until, now + check_interval))) return true;
    }
    return true;
  }

  // Ranges are not served: many ranges of a page would multiply it into a reply of tens of
  // megabytes, and every document is small enough to be sent whole.
  static void ignore_ranges(httplib::Request& request) { request.ranges.clear(); }

  SocketClock::duration request_time_;
  SocketClock::duration write_time_;
  SocketClock::duration keep_alive_time_;
  SocketClock::duration connection_time_;
  const std::atomic<std::size_t>& queued_;
};

}  // namespace

struct ApiServer {
  explicit ApiServer(const ApiServerLimits& limits) : http(limits, queued_connections) {}

  std::atomic<std::size_t> queued_connections{0};  // waiting for a worker
  DeadlineServer http;
  std::string bound_host;
  int port = 0;
  SnapshotSource snapshot;
  std::thread listener;
  std::atomic<bool> listener_done{false};
};

namespace {

const char* status_text(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found: the API serves /, /api/summary, /api/history and /metrics";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    default: return status >= 500 ? "Internal Server Error" : "Error";
  }
}

void set_text(httplib::Response& response, int status, const std::string& text) {
  response.status = status;
  response.set_content(text + "\n", "text/plain; charset=utf-8");
}

httplib::Server::HandlerResponse check_request(const ApiServer& server, const httplib::Request& request,
                                               httplib::Response& response) {
  if (request.method != "GET" && request.method != "HEAD") {
    response.set_header("Allow", "GET, HEAD");
    set_text(response, 405, "Method Not Allowed: the API is read-only (GET and HEAD)");
    return httplib::Server::HandlerResponse::Handled;
  }
  // With two, a proxy in front might go by the other one than this check.
  if (request.get_header_value_count("Host") > 1) {
    set_text(response, 400, "Bad Request: more than one Host header");
    return httplib::Server::HandlerResponse::Handled;
  }
  if (!host_header_allowed(request.get_header_value("Host"), server.bound_host)) {
    set_text(response, 403, "Forbidden: the Host header names neither this API's address nor localhost");
    return httplib::Server::HandlerResponse::Handled;
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

void add_routes(ApiServer& server) {
  httplib::Server& http = server.http;
  http.Get("/", [](const httplib::Request&, httplib::Response& response) {
    // The page is self-contained: its script and style are inline, its data from this origin.
    response.set_header("Content-Security-Policy",
                        "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                        "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
                        "frame-ancestors 'none'");
    response.set_content(std::string(dashboard_page), "text/html; charset=utf-8");
  });
  http.Get("/api/summary", [&server](const httplib::Request&, httplib::Response& response) {
    response.set_content(summary_json(server.snapshot()), "application/json");
  });
  http.Get("/api/history", [&server](const httplib::Request&, httplib::Response& response) {
    response.set_content(history_json(server.snapshot()), "application/json");
  });
  http.Get("/metrics", [&server](const httplib::Request&, httplib::Response& response) {
    response.set_content(metrics_text(server.snapshot()), std::string(metrics_content_type).c_str());
  });
}

}  // namespace

void ApiServerDeleter::operator()(ApiServer* server) const noexcept {
  if (server == nullptr) return;
  server->http.stop();
  if (server->listener.joinable()) server->listener.join();
  delete server;
}

ApiServerHandle api_server_start(const ApiListenAddress& address, const ApiServerLimits& limits, SnapshotSource snapshot,
                                 std::string& error) {
  ApiServerHandle server(new ApiServer(limits));
  server->bound_host = address.host;
  server->snapshot = std::move(snapshot);
  httplib::Server& http = server->http;
  std::atomic<std::size_t>& queued = server->queued_connections;
  http.new_task_queue = [&queued] { return new BoundedTaskQueue(api_worker_threads, api_queued_connections, queued); };
  // Announced in the Keep-Alive header, in whole seconds.
  http.set_keep_alive_timeout(static_cast<time_t>(limits.keep_alive_seconds));
  http.set_keep_alive_max_count(api_requests_per_connection);
  http.set_payload_max_length(api_max_body_bytes);
  http.set_socket_options(set_exclusive_listen_options);
  http.set_default_headers(
      {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}, {"Accept-Ranges", "none"}});
  ApiServer& bound = *server;
  http.set_pre_routing_handler(
      [&bound](const httplib::Request& request, httplib::Response& response) { return check_request(bound, request, response); });
  http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    // httplib refuses a Range it cannot parse with the ranges it read so far still applied to
    // this answer: a body would come back once per range.
    if (response.status == 416) return;
    if (response.body.empty()) set_text(response, response.status, status_text(response.status));
  });
  add_routes(*server);

  if (address.port == 0) {
    server->port = http.bind_to_any_port(address.host);
  } else {
    server->port = http.bind_to_port(address.host, address.port) ? address.port : -1;
  }
  if (server->port <= 0) {
    error = "cannot listen on " + format_host_port(address.host, address.port) +
            " (the port is in use, or the address is not one of this machine's)";
    return nullptr;
  }
  std::atomic<bool>& listener_done = server->listener_done;
  server->listener = std::thread([&http, &listener_done] {
    http.listen_after_bind();
    listener_done = true;
  });
  // A stop before the listening loop runs would go unseen and leave the loop running for ever.
  while (!http.is_running() && !listener_done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return server;
}

int api_server_port(const ApiServer& server) { return server.port; }
