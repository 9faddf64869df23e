#pragma once
// A connection's socket, the platform's way (connection_socket_posix.cpp,
// connection_socket_win.cpp). The socket is non-blocking, so that reads and writes never wait
// and every wait has a deadline.

#include <httplib.h>

#include <chrono>
#include <cstddef>

using SocketClock = std::chrono::steady_clock;

// What a read or write returns when nothing can move yet.
inline constexpr ssize_t socket_would_block = -2;

void make_socket_nonblocking(socket_t socket);

enum class SocketWait { readable, writable };

// Waits until the socket can be read (or written), has failed or was closed by the peer (the
// next read or write says which); false when the deadline passes first.
bool wait_for_socket(socket_t socket, SocketWait what, SocketClock::time_point deadline);

// The number of bytes read, 0 when the peer closed the connection, socket_would_block, or -1 on
// a failure.
ssize_t receive_from_socket(socket_t socket, char* buffer, std::size_t size);

// The number of bytes written, socket_would_block, or -1 on a failure (a closed connection
// raises no signal).
ssize_t send_to_socket(socket_t socket, const char* data, std::size_t size);

// Shuts both directions and closes the socket.
void close_connection_socket(socket_t socket);
