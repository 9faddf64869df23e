#pragma once
// The thin socket layer under the Stratum client: one TCP connection that carries lines of
// text. Its I/O runs on a thread of its own; the owner is told through a callback that events
// are waiting and takes them when it is ready, so a pool never blocks the owner's thread.
// Everything held is bounded: a pool that sends faster than the owner handles is not read until
// the owner catches up, and a pool that does not read what it is sent is dropped. Standalone
// Asio inside; nothing of it shows here.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "stratum/tls_client.h"

struct StratumConnection;  // the socket, its buffers, the I/O context and its thread

struct ConnectionEvent {
  enum class Kind {
    connected,  // the TCP connection is up (with TLS: the handshake is done and the certificate passed)
    line,       // a line arrived (text without its line feed)
    closed,     // a connection attempt failed, or the connection ended (text says why)
  };
  Kind kind = Kind::closed;
  std::string text;
  bool was_connected = false;  // closed: the connection had been up (a loss, not a failed attempt)
};

struct ConnectionLimits {
  // A connection attempt (name look-up, TCP connect and any TLS handshake) that takes longer than
  // this fails.
  std::chrono::milliseconds connect_timeout = std::chrono::seconds(15);
  // Lines longer than this end the connection: no pool sends one, and memory must stay bounded.
  std::size_t longest_line = 1 << 20;
  // Events the owner has not taken yet, and the bytes of their lines: at either limit the socket
  // is not read until it takes some.
  std::size_t waiting_events = 64;
  std::size_t waiting_bytes = 1 << 20;
  // Lines queued for sending: a send beyond either limit ends the connection as a failed attempt.
  std::size_t outgoing_lines = 256;
  std::size_t outgoing_bytes = 1 << 20;
};

// Starts the connection's I/O thread. notify is called whenever an event becomes waiting while
// none was, from the I/O thread (or from the owner's, for a close its own send caused); the
// owner takes events until none are left, or it is not told again.
StratumConnection* connection_create(std::function<void()> notify, ConnectionLimits limits = {});
// Stops the I/O thread and frees everything; notify is not called once this returns.
void connection_destroy(StratumConnection* connection);

// Every function below is safe to call from any thread.

// Starts connecting, over TLS when tls is given; a connected or closed event follows. An open
// connection is closed first (without an event), and events of it not yet taken are dropped.
void connection_open(StratumConnection& connection, const std::string& host, std::uint16_t port,
                     const std::optional<TlsSettings>& tls = std::nullopt);

// Queues a line (a line feed is added) for sending; nothing when there is no connection. A line
// beyond the outgoing limits closes the connection instead (a closed event follows).
void connection_send(StratumConnection& connection, const std::string& line);

// Closes the connection, if any, without an event; events of it not yet taken are dropped.
void connection_close(StratumConnection& connection);

// True from the moment the connected event is taken until the close.
bool connection_is_up(const StratumConnection& connection);
// True from connection_open until the closed event is taken or connection_close.
bool connection_is_active(const StratumConnection& connection);

// Takes up to max_events of the waiting events, oldest first; never waits. A closed event comes
// after every line that arrived before it.
std::vector<ConnectionEvent> connection_take_events(StratumConnection& connection, std::size_t max_events);
