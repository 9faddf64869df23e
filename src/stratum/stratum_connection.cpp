#include "stratum/stratum_connection.h"

#include <asio.hpp>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>

struct StratumConnection {
  asio::io_context io;
  std::unique_ptr<asio::ip::tcp::resolver> resolver;
  std::unique_ptr<asio::ip::tcp::socket> socket;
  std::unique_ptr<asio::steady_timer> connect_timer;
  asio::streambuf input{longest_stratum_line + 1};
  std::deque<std::string> outgoing;
  bool writing = false;
  bool up = false;
  bool active = false;
  // Bumped on every open and close, so handlers of an earlier connection do nothing.
  std::uint64_t generation = 0;
  std::vector<ConnectionEvent> events;
};

namespace {

void end_connection(StratumConnection& connection, const std::string& reason) {
  if (!connection.active) return;
  connection.events.push_back({ConnectionEvent::Kind::closed, reason, connection.up});
  connection_close(connection);
}

void start_write(StratumConnection& connection) {
  if (connection.writing || connection.outgoing.empty() || !connection.up) return;
  connection.writing = true;
  const std::uint64_t generation = connection.generation;
  asio::async_write(*connection.socket, asio::buffer(connection.outgoing.front()),
                    [&connection, generation](const asio::error_code& error, std::size_t) {
                      if (generation != connection.generation) return;
                      connection.writing = false;
                      if (error) {
                        end_connection(connection, "sending failed: " + error.message());
                        return;
                      }
                      connection.outgoing.pop_front();
                      start_write(connection);
                    });
}

void start_read(StratumConnection& connection) {
  const std::uint64_t generation = connection.generation;
  asio::async_read_until(*connection.socket, connection.input, '\n',
                         [&connection, generation](const asio::error_code& error, std::size_t length) {
                           if (generation != connection.generation) return;
                           if (error) {
                             end_connection(connection, error == asio::error::eof ? "the pool closed the connection"
                                                        : error == asio::error::not_found
                                                            ? "the pool sent a line longer than 1 MiB"
                                                            : error.message());
                             return;
                           }
                           std::string line(asio::buffers_begin(connection.input.data()),
                                            asio::buffers_begin(connection.input.data()) +
                                                static_cast<std::ptrdiff_t>(length - 1));
                           connection.input.consume(length);
                           if (!line.empty() && line.back() == '\r') line.pop_back();
                           if (!line.empty()) connection.events.push_back({ConnectionEvent::Kind::line, line, true});
                           start_read(connection);
                         });
}

}  // namespace

StratumConnection* connection_create() { return new StratumConnection(); }

void connection_destroy(StratumConnection* connection) {
  if (connection == nullptr) return;
  connection_close(*connection);
  delete connection;
}

void connection_open(StratumConnection& connection, const std::string& host, std::uint16_t port) {
  connection_close(connection);
  connection.active = true;
  const std::uint64_t generation = connection.generation;
  connection.resolver = std::make_unique<asio::ip::tcp::resolver>(connection.io);
  connection.socket = std::make_unique<asio::ip::tcp::socket>(connection.io);
  connection.connect_timer = std::make_unique<asio::steady_timer>(connection.io);
  connection.connect_timer->expires_after(std::chrono::seconds(connect_timeout_seconds));
  connection.connect_timer->async_wait([&connection, generation](const asio::error_code& error) {
    if (error || generation != connection.generation || connection.up) return;
    end_connection(connection, "no connection within " + std::to_string(connect_timeout_seconds) + " seconds");
  });
  connection.resolver->async_resolve(
      host, std::to_string(port),
      [&connection, generation](const asio::error_code& error, const asio::ip::tcp::resolver::results_type& results) {
        if (generation != connection.generation) return;
        if (error) {
          end_connection(connection, "name look-up failed: " + error.message());
          return;
        }
        asio::async_connect(*connection.socket, results,
                            [&connection, generation](const asio::error_code& connect_error, const asio::ip::tcp::endpoint&) {
                              if (generation != connection.generation) return;
                              if (connect_error) {
                                end_connection(connection, connect_error.message());
                                return;
                              }
                              connection.up = true;
                              connection.connect_timer->cancel();
                              asio::error_code ignored;
                              connection.socket->set_option(asio::ip::tcp::no_delay(true), ignored);
                              connection.events.push_back({ConnectionEvent::Kind::connected, {}, true});
                              start_read(connection);
                              start_write(connection);
                            });
      });
}

void connection_send(StratumConnection& connection, const std::string& line) {
  if (!connection.up) return;
  connection.outgoing.push_back(line + "\n");
  start_write(connection);
}

void connection_close(StratumConnection& connection) {
  ++connection.generation;
  asio::error_code ignored;
  if (connection.socket) connection.socket->close(ignored);
  if (connection.resolver) connection.resolver->cancel();
  if (connection.connect_timer) connection.connect_timer->cancel();
  connection.outgoing.clear();
  connection.input.consume(connection.input.size());
  connection.writing = false;
  connection.up = false;
  connection.active = false;
  // The cancelled handlers still run (and return at once) at the next poll; the objects they
  // refer to stay alive until the next open replaces them.
}

bool connection_is_up(const StratumConnection& connection) { return connection.up; }
bool connection_is_active(const StratumConnection& connection) { return connection.active; }

std::vector<ConnectionEvent> connection_poll(StratumConnection& connection, int wait_milliseconds) {
  if (connection.io.stopped()) connection.io.restart();
  connection.io.poll();
  if (connection.events.empty() && wait_milliseconds > 0) {
    // Wait for the first event, then take whatever else is ready.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_milliseconds);
    while (connection.events.empty() && std::chrono::steady_clock::now() < deadline) {
      if (connection.io.stopped()) connection.io.restart();
      if (connection.io.run_one_until(deadline) == 0 && connection.io.stopped()) {
        std::this_thread::sleep_until(deadline);  // nothing under way that could end the wait early
        break;
      }
    }
    if (connection.io.stopped()) connection.io.restart();
    connection.io.poll();
  }
  std::vector<ConnectionEvent> events;
  events.swap(connection.events);
  return events;
}
