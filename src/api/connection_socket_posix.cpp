#include "api/connection_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {

ssize_t outcome(ssize_t count) {
  if (count >= 0) return count;
  return errno == EAGAIN || errno == EWOULDBLOCK ? socket_would_block : -1;
}

}  // namespace

void make_socket_nonblocking(socket_t socket) {
  const int flags = fcntl(socket, F_GETFL, 0);
  if (flags >= 0) fcntl(socket, F_SETFL, flags | O_NONBLOCK);
}

bool wait_for_socket(socket_t socket, SocketWait what, SocketClock::time_point deadline) {
  pollfd entry{};
  entry.fd = socket;
  entry.events = what == SocketWait::readable ? POLLIN : POLLOUT;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SocketClock::now()).count();
    if (left <= 0) return false;
    const int ready = poll(&entry, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

ssize_t receive_from_socket(socket_t socket, char* buffer, std::size_t size) {
  ssize_t count = 0;
  do {
    count = recv(socket, buffer, size, 0);
  } while (count < 0 && errno == EINTR);
  return outcome(count);
}

ssize_t send_to_socket(socket_t socket, const char* data, std::size_t size) {
  ssize_t count = 0;
  do {
    count = send(socket, data, size, MSG_NOSIGNAL);
  } while (count < 0 && errno == EINTR);
  return outcome(count);
}

void close_connection_socket(socket_t socket) {
  shutdown(socket, SHUT_RDWR);
  close(socket);
}
