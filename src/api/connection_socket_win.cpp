#include "api/connection_socket.h"

#include <winsock2.h>

#include <algorithm>
#include <climits>

namespace {

ssize_t outcome(int count) {
  if (count >= 0) return count;
  return WSAGetLastError() == WSAEWOULDBLOCK ? socket_would_block : -1;
}

int chunk(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

}  // namespace

void make_socket_nonblocking(socket_t socket) {
  u_long yes = 1;
  // FIONBIO is an unsigned constant above LONG_MAX; the call takes its bits as a long.
  ioctlsocket(socket, static_cast<long>(FIONBIO), &yes);
}

bool wait_for_socket(socket_t socket, SocketWait what, SocketClock::time_point deadline) {
  WSAPOLLFD entry{};
  entry.fd = socket;
  entry.events = what == SocketWait::readable ? POLLRDNORM : POLLWRNORM;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SocketClock::now()).count();
    if (left <= 0) return false;
    const int ready = WSAPoll(&entry, 1, static_cast<INT>(std::min<long long>(left, INT_MAX)));
    if (ready != 0) return ready > 0;
  }
}

ssize_t receive_from_socket(socket_t socket, char* buffer, std::size_t size) {
  return outcome(recv(socket, buffer, chunk(size), 0));
}

ssize_t send_to_socket(socket_t socket, const char* data, std::size_t size) {
  return outcome(send(socket, data, chunk(size), 0));
}

void close_connection_socket(socket_t socket) {
  shutdown(socket, SD_BOTH);
  closesocket(socket);
}
