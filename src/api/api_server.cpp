#include "api/api_server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <httplib.h>
#include <mutex>
#include <thread>

#include "api/api_documents.h"
#include "api/dashboard_page.h"
#include "api/listen_socket.h"

// A connection queue with a bound: when every worker is busy and the queue is full, the
// listening thread waits instead of accepting more, and further clients wait in the system's
// listen backlog. httplib's own pool queues without limit.
class BoundedTaskQueue : public httplib::TaskQueue {
 public:
  BoundedTaskQueue(std::size_t workers, std::size_t max_queued) : max_queued_(max_queued) {
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }

  void enqueue(std::function<void()> task) override {
    {
      std::unique_lock lock(mutex_);
      room_.wait(lock, [&] { return tasks_.size() < max_queued_ || shutting_down_; });
      tasks_.push_back(std::move(task));
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
      }
      room_.notify_one();
      task();
    }
  }

  std::size_t max_queued_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<std::function<void()>> tasks_;
  bool shutting_down_ = false;
  std::vector<std::thread> threads_;
};

struct ApiServer {
  httplib::Server http;
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
  ApiServerHandle server(new ApiServer);
  server->bound_host = address.host;
  server->snapshot = std::move(snapshot);
  httplib::Server& http = server->http;
  http.new_task_queue = [] { return new BoundedTaskQueue(api_worker_threads, api_queued_connections); };
  http.set_read_timeout(std::chrono::duration<double>(limits.read_seconds));
  http.set_write_timeout(std::chrono::duration<double>(limits.write_seconds));
  http.set_keep_alive_timeout(static_cast<time_t>(limits.keep_alive_seconds));
  http.set_keep_alive_max_count(api_requests_per_connection);
  http.set_payload_max_length(api_max_body_bytes);
  http.set_socket_options(set_exclusive_listen_options);
  http.set_default_headers({{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});
  ApiServer& bound = *server;
  http.set_pre_routing_handler(
      [&bound](const httplib::Request& request, httplib::Response& response) { return check_request(bound, request, response); });
  http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
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
