#include "stratum/stratum_connection.h"

#include "stratum/tls_client.h"

#include <asio.hpp>
#include <array>
#include <deque>
#include <optional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace {

// Bytes read from the socket at a time.
constexpr std::size_t read_chunk = 16 * 1024;

// One connection attempt and what became of it. Its handlers hold it, so its buffers outlive the
// operations that use them, even after a newer attempt took its place. I/O thread only.
struct Link {
  Link(asio::io_context& io, std::uint64_t attempt) : resolver(io), socket(io), connect_timer(io), generation(attempt) {}
  asio::ip::tcp::resolver resolver;
  asio::ip::tcp::socket socket;
  asio::steady_timer connect_timer;
  std::array<char, read_chunk> chunk{};  // the latest read
  std::string pending;  // received text not yet handed over: at most one line and a read's worth
  std::string sending;  // the bytes being written
  std::size_t sending_line_bytes = 0;  // of the outgoing lines, what the write under way carries
  std::optional<TlsSettings> tls_settings;  // none: plain TCP
  TlsClientHandle tls;
  std::string tls_output;  // bytes the TLS layer must send on its own account, before the next line
  std::uint64_t generation;
  bool connected = false;  // TCP is up, and with TLS the handshake is done and the certificate passed
};

}  // namespace

struct StratumConnection {
  StratumConnection(std::function<void()> notify_owner, ConnectionLimits connection_limits)
      : limits(connection_limits), notify(std::move(notify_owner)) {}

  const ConnectionLimits limits;
  const std::function<void()> notify;
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> keep_running{io.get_executor()};
  std::shared_ptr<Link> link;  // I/O thread only: the latest attempt
  std::thread thread;

  // Shared by the owner and the I/O thread, under mutex.
  mutable std::mutex mutex;
  std::uint64_t generation = 0;  // bumped by every open and close; a link of another one is over
  bool ended = true;             // the current connection's closed event is queued, or it was closed
  std::deque<ConnectionEvent> waiting;
  std::size_t waiting_bytes = 0;  // of the waiting lines
  bool reading_paused = false;    // the waiting events are at their limit
  std::deque<std::string> outgoing;
  std::size_t outgoing_bytes = 0;  // of the outgoing lines and the one being written
  bool writing = false;
  bool up = false;  // as the owner sees it, through the events it took
  bool active = false;
};

namespace {

std::string duration_text(std::chrono::milliseconds duration) {
  if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " seconds";
  return std::to_string(duration.count()) + " ms";
}

std::string size_text(std::size_t bytes) {
  constexpr std::size_t mebibyte = 1 << 20;
  if (bytes % mebibyte == 0) return std::to_string(bytes / mebibyte) + " MiB";
  return std::to_string(bytes) + " bytes";
}

// Under the lock: the link is the current connection's, and that connection has not ended.
bool is_current(const StratumConnection& connection, const Link& link) {
  return link.generation == connection.generation && !connection.ended;
}

bool link_is_current(const StratumConnection& connection, const Link& link) {
  std::lock_guard lock(connection.mutex);
  return is_current(connection, link);
}

// Under the lock: drops whatever the current connection left behind.
void forget_current(StratumConnection& connection) {
  connection.waiting.clear();
  connection.waiting_bytes = 0;
  connection.reading_paused = false;
  connection.outgoing.clear();
  connection.outgoing_bytes = 0;
  connection.writing = false;
  connection.up = false;
  connection.active = false;
  connection.ended = true;
}

// Under the lock: queues an event; true when none was waiting, so the owner must be told.
bool queue_event(StratumConnection& connection, ConnectionEvent event) {
  const bool was_empty = connection.waiting.empty();
  if (event.kind == ConnectionEvent::Kind::line) connection.waiting_bytes += event.text.size();
  connection.waiting.push_back(std::move(event));
  return was_empty;
}

// Under the lock: the current connection is over; nothing more is sent or received on it.
bool queue_closed(StratumConnection& connection, std::string reason, bool was_connected) {
  connection.ended = true;
  connection.outgoing.clear();
  connection.outgoing_bytes = 0;
  return queue_event(connection, {ConnectionEvent::Kind::closed, std::move(reason), was_connected});
}

void close_link(Link& link) {
  asio::error_code ignored;
  link.socket.close(ignored);
  link.resolver.cancel();
  link.connect_timer.cancel();
}

// Closes, on the I/O thread, the attempt of this generation or of an earlier one.
void post_close(StratumConnection& connection, std::uint64_t generation) {
  asio::post(connection.io, [&connection, generation] {
    if (connection.link && connection.link->generation <= generation) {
      close_link(*connection.link);
      connection.link.reset();
    }
  });
}

// The link's connection ends with a closed event, unless the owner ended it first.
void end_link(StratumConnection& connection, const std::shared_ptr<Link>& link, std::string reason) {
  bool tell = false;
  {
    std::lock_guard lock(connection.mutex);
    if (!is_current(connection, *link)) return;
    tell = queue_closed(connection, std::move(reason), link->connected);
  }
  close_link(*link);
  if (tell) connection.notify();
}

std::string read_failure(const asio::error_code& error) {
  if (error == asio::error::eof) return "the pool closed the connection";
  return error.message();
}

void write_next(StratumConnection& connection, const std::shared_ptr<Link>& link);

// Hands the complete lines received so far to the owner, unless it has as many waiting as it may
// (or all of them, when the connection is ending). False when the owner has enough for now.
bool hand_over_lines(StratumConnection& connection, Link& link, bool ending) {
  bool tell = false;
  bool read_on = true;
  std::size_t start = 0;
  {
    std::lock_guard lock(connection.mutex);
    if (!is_current(connection, link)) return false;
    while (!connection.reading_paused || ending) {
      const std::size_t line_feed = link.pending.find('\n', start);
      if (line_feed == std::string::npos) break;
      std::string line = link.pending.substr(start, line_feed - start);
      start = line_feed + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) tell = queue_event(connection, {ConnectionEvent::Kind::line, std::move(line), true}) || tell;
      connection.reading_paused = connection.waiting.size() >= connection.limits.waiting_events ||
                                  connection.waiting_bytes >= connection.limits.waiting_bytes;
    }
    read_on = !connection.reading_paused;
  }
  link.pending.erase(0, start);
  if (tell) connection.notify();
  return read_on;
}

// Takes bytes from the socket: through TLS when the link has it, which may also have bytes to send
// back. False after ending the link.
bool take_received(StratumConnection& connection, const std::shared_ptr<Link>& link, std::string_view received) {
  if (!link->tls) {
    link->pending.append(received);
    return true;
  }
  TlsStep step = tls_client_receive(*link->tls, received);
  link->pending += step.plaintext;
  if (step.failure) {
    hand_over_lines(connection, *link, true);
    end_link(connection, link, *step.failure);
    return false;
  }
  if (!step.to_network.empty()) {
    link->tls_output += step.to_network;
    write_next(connection, link);
  }
  return true;
}

// Hands over the lines already received, then reads more, unless the owner has as many waiting as
// it may: reading then resumes when it takes some, so a pool that floods the miner waits in its
// own send buffer.
void start_read(StratumConnection& connection, std::shared_ptr<Link> link) {
  if (!hand_over_lines(connection, *link, false)) return;
  if (link->pending.size() > connection.limits.longest_line) {
    end_link(connection, link, "the pool sent a line longer than " + size_text(connection.limits.longest_line));
    return;
  }
  Link& reading = *link;
  reading.socket.async_read_some(
      asio::buffer(reading.chunk), [&connection, link = std::move(link)](const asio::error_code& error, std::size_t length) {
        if (error) {
          hand_over_lines(connection, *link, true);
          end_link(connection, link, read_failure(error));
          return;
        }
        if (!link_is_current(connection, *link)) return;
        if (!take_received(connection, link, std::string_view(link->chunk.data(), length))) return;
        start_read(connection, link);
      });
}

// Writes what the TLS layer has to send, else the oldest queued line, unless a write is under way.
void write_next(StratumConnection& connection, const std::shared_ptr<Link>& link) {
  {
    std::lock_guard lock(connection.mutex);
    if (!is_current(connection, *link) || connection.writing) return;
    if (!link->tls_output.empty()) {
      link->sending = std::move(link->tls_output);
      link->tls_output.clear();
      link->sending_line_bytes = 0;
    } else if (!connection.outgoing.empty() && link->connected) {
      link->sending_line_bytes = connection.outgoing.front().size();
      link->sending = std::move(connection.outgoing.front());
      connection.outgoing.pop_front();
    } else {
      return;
    }
    connection.writing = true;
  }
  if (link->tls && link->sending_line_bytes > 0) link->sending = tls_client_encrypt(*link->tls, link->sending);
  asio::async_write(link->socket, asio::buffer(link->sending),
                    [&connection, link](const asio::error_code& error, std::size_t) {
                      if (error) {
                        end_link(connection, link, "sending failed: " + error.message());
                        return;
                      }
                      {
                        std::lock_guard lock(connection.mutex);
                        if (!is_current(connection, *link)) return;
                        connection.writing = false;
                        connection.outgoing_bytes -= link->sending_line_bytes;
                      }
                      write_next(connection, link);
                    });
}

// The connection is ready for lines: the owner hears of it, and reading starts.
void link_ready(StratumConnection& connection, const std::shared_ptr<Link>& link) {
  link->connected = true;
  link->connect_timer.cancel();
  bool tell = false;
  {
    std::lock_guard lock(connection.mutex);
    if (!is_current(connection, *link)) return;
    tell = queue_event(connection, {ConnectionEvent::Kind::connected, {}, true});
  }
  if (tell) connection.notify();
  start_read(connection, link);
}

// Reads the pool's handshake messages until the handshake is done and the certificate passed;
// the connect timer still runs, so a port that never answers like TLS fails in time.
void continue_handshake(StratumConnection& connection, std::shared_ptr<Link> link) {
  Link& reading = *link;
  reading.socket.async_read_some(
      asio::buffer(reading.chunk), [&connection, link = std::move(link)](const asio::error_code& error, std::size_t length) {
        if (error) {
          end_link(connection, link,
                   error == asio::error::eof ? "the pool closed the connection during the TLS handshake"
                                             : "TLS handshake failed: " + error.message());
          return;
        }
        if (!link_is_current(connection, *link)) return;
        TlsStep step = tls_client_receive(*link->tls, std::string_view(link->chunk.data(), length));
        if (step.failure) {
          end_link(connection, link, *step.failure);
          return;
        }
        link->pending += step.plaintext;
        link->tls_output += step.to_network;
        write_next(connection, link);
        if (step.handshake_done) {
          link_ready(connection, link);
        } else {
          continue_handshake(connection, link);
        }
      });
}

void start_handshake(StratumConnection& connection, const std::shared_ptr<Link>& link) {
  TlsStep first;
  link->tls = tls_client_start(*link->tls_settings, first);
  if (!link->tls) {
    end_link(connection, link, first.failure.value_or("TLS cannot start"));
    return;
  }
  link->tls_output = std::move(first.to_network);
  write_next(connection, link);
  continue_handshake(connection, link);
}

void start_link(StratumConnection& connection, std::uint64_t generation, const std::string& host,
                std::uint16_t port, const std::optional<TlsSettings>& tls) {
  if (connection.link) close_link(*connection.link);
  connection.link.reset();
  {
    std::lock_guard lock(connection.mutex);
    if (generation != connection.generation) return;  // closed or opened again since
  }
  auto link = std::make_shared<Link>(connection.io, generation);
  link->tls_settings = tls;
  connection.link = link;
  link->connect_timer.expires_after(connection.limits.connect_timeout);
  link->connect_timer.async_wait([&connection, link](const asio::error_code& error) {
    if (error || link->connected) return;
    end_link(connection, link,
             link->tls ? "no TLS handshake within " + duration_text(connection.limits.connect_timeout) +
                             " (is the port a TLS port?)"
                       : "no connection within " + duration_text(connection.limits.connect_timeout));
  });
  link->resolver.async_resolve(
      host, std::to_string(port),
      [&connection, link](const asio::error_code& error, const asio::ip::tcp::resolver::results_type& results) {
        if (error) {
          end_link(connection, link, "name look-up failed: " + error.message());
          return;
        }
        if (!link_is_current(connection, *link)) return;
        asio::async_connect(
            link->socket, results,
            [&connection, link](const asio::error_code& connect_error, const asio::ip::tcp::endpoint&) {
              if (connect_error) {
                end_link(connection, link, connect_error.message());
                return;
              }
              asio::error_code ignored;
              link->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
              if (!link_is_current(connection, *link)) return;
              if (link->tls_settings) {
                start_handshake(connection, link);
              } else {
                link_ready(connection, link);
              }
            });
      });
}

}  // namespace

StratumConnection* connection_create(std::function<void()> notify, ConnectionLimits limits) {
  auto* connection = new StratumConnection(std::move(notify), limits);
  connection->thread = std::thread([connection] { connection->io.run(); });
  return connection;
}

void connection_destroy(StratumConnection* connection) {
  if (connection == nullptr) return;
  {
    std::lock_guard lock(connection->mutex);
    ++connection->generation;
    forget_current(*connection);
  }
  // Stopped, not drained: a name look-up under way must not hold up the owner.
  connection->io.stop();
  connection->thread.join();
  delete connection;
}

void connection_open(StratumConnection& connection, const std::string& host, std::uint16_t port,
                     const std::optional<TlsSettings>& tls) {
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(connection.mutex);
    generation = ++connection.generation;
    forget_current(connection);
    connection.ended = false;
    connection.active = true;
  }
  asio::post(connection.io, [&connection, generation, host, port, tls] {
    start_link(connection, generation, host, port, tls);
  });
}

void connection_send(StratumConnection& connection, const std::string& line) {
  bool tell = false;
  bool start_writing = false;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(connection.mutex);
    if (!connection.up || connection.ended) return;
    generation = connection.generation;
    const std::size_t queued_lines = connection.outgoing.size() + (connection.writing ? 1 : 0);
    const std::size_t bytes = line.size() + 1;
    if (queued_lines >= connection.limits.outgoing_lines ||
        connection.outgoing_bytes + bytes > connection.limits.outgoing_bytes) {
      // The lines not yet taken belong to a connection that is over.
      connection.waiting.clear();
      connection.waiting_bytes = 0;
      tell = queue_closed(connection, "the pool does not read what the miner sends", false);
    } else {
      connection.outgoing.push_back(line + "\n");
      connection.outgoing_bytes += bytes;
      start_writing = !connection.writing;
    }
  }
  if (tell) {
    post_close(connection, generation);
    connection.notify();
  }
  if (start_writing) {
    asio::post(connection.io, [&connection] {
      if (connection.link) write_next(connection, connection.link);
    });
  }
}

void connection_close(StratumConnection& connection) {
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(connection.mutex);
    generation = ++connection.generation;
    forget_current(connection);
  }
  post_close(connection, generation);
}

bool connection_is_up(const StratumConnection& connection) {
  std::lock_guard lock(connection.mutex);
  return connection.up;
}

bool connection_is_active(const StratumConnection& connection) {
  std::lock_guard lock(connection.mutex);
  return connection.active;
}

std::vector<ConnectionEvent> connection_take_events(StratumConnection& connection, std::size_t max_events) {
  std::vector<ConnectionEvent> events;
  bool resume_reading = false;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(connection.mutex);
    while (events.size() < max_events && !connection.waiting.empty()) {
      ConnectionEvent& event = connection.waiting.front();
      switch (event.kind) {
        case ConnectionEvent::Kind::connected:
          connection.up = true;
          break;
        case ConnectionEvent::Kind::line:
          connection.waiting_bytes -= event.text.size();
          break;
        case ConnectionEvent::Kind::closed:
          connection.up = connection.active = false;
          break;
      }
      events.push_back(std::move(event));
      connection.waiting.pop_front();
    }
    if (connection.reading_paused && connection.waiting.size() < connection.limits.waiting_events &&
        connection.waiting_bytes < connection.limits.waiting_bytes) {
      connection.reading_paused = false;
      resume_reading = true;
      generation = connection.generation;
    }
  }
  if (resume_reading) {
    asio::post(connection.io, [&connection, generation] {
      const std::shared_ptr<Link> link = connection.link;
      if (link && link->generation == generation && link_is_current(connection, *link)) start_read(connection, link);
    });
  }
  return events;
}
