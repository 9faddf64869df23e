#pragma once
// The thin socket layer under the Stratum client: one TCP connection that carries lines of
// text, driven by the caller's polls, so that the miner's thread decides when network work is
// done. Standalone Asio inside; nothing of it shows here.

#include <cstdint>
#include <string>
#include <vector>

struct StratumConnection;  // the socket, its buffers and the I/O context

struct ConnectionEvent {
  enum class Kind {
    connected,  // the TCP connection is up
    line,       // a line arrived (text without its line feed)
    closed,     // a connection attempt failed, or the connection ended (text says why)
  };
  Kind kind = Kind::closed;
  std::string text;
  bool was_connected = false;  // closed: the connection had been up (a loss, not a failed attempt)
};

// Lines longer than this end the connection: no pool sends one, and memory must stay bounded.
inline constexpr std::size_t longest_stratum_line = 1 << 20;
// A connection attempt (name look-up and TCP connect) that takes longer than this fails.
inline constexpr int connect_timeout_seconds = 15;

StratumConnection* connection_create();
void connection_destroy(StratumConnection* connection);

// Starts connecting; a connected or closed event follows from a later poll. An open
// connection is closed first (without an event).
void connection_open(StratumConnection& connection, const std::string& host, std::uint16_t port);

// Queues a line (a line feed is added) for sending; nothing when there is no connection.
void connection_send(StratumConnection& connection, const std::string& line);

// Closes the connection, if any, without an event.
void connection_close(StratumConnection& connection);

// True between the connected event and the close.
bool connection_is_up(const StratumConnection& connection);
// True from connection_open until the closed event or connection_close.
bool connection_is_active(const StratumConnection& connection);

// Does the network work that is ready, waiting up to wait_milliseconds for something to
// happen when nothing is; returns what happened, in order.
std::vector<ConnectionEvent> connection_poll(StratumConnection& connection, int wait_milliseconds);
