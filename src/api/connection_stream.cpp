#include "api/connection_stream.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view range_header_start = "range:";  // header names in any letter case

// The numeric address and port of one end of the connection; empty and 0 when the system
// cannot tell.
void numeric_address(socket_t socket, bool peer, std::string& ip, int& port) {
  ip.clear();
  port = 0;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? getpeername(socket, generic, &length) : getsockname(socket, generic, &length)) != 0) return;
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (getnameinfo(generic, length, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return;
  }
  ip = host;
  port = std::atoi(service);
}

}  // namespace

ConnectionStream::ConnectionStream(socket_t socket, SocketClock::time_point connection_deadline,
                                   SocketClock::duration write_timeout, std::size_t max_request_bytes)
    : socket_(socket),
      connection_deadline_(connection_deadline),
      write_timeout_(write_timeout),
      max_request_bytes_(max_request_bytes),
      read_deadline_(connection_deadline) {
  make_socket_nonblocking(socket);
}

void ConnectionStream::start_request(SocketClock::time_point read_deadline) {
  read_deadline_ = std::min(read_deadline, connection_deadline_);
  request_bytes_left_ = max_request_bytes_;
  line_length_ = 0;
  line_may_be_range_ = true;
}

bool ConnectionStream::is_readable() const {
  return has_buffered_bytes() || wait_for_socket(socket_, SocketWait::readable, read_deadline_);
}

bool ConnectionStream::is_writable() const { return wait_for_socket(socket_, SocketWait::writable, write_deadline()); }

ssize_t ConnectionStream::read(char* data, size_t size) {
  if (request_bytes_left_ == 0) cut_off_ = true;
  if (cut_off_) return -1;
  while (!has_buffered_bytes()) {
    if (!wait_for_socket(socket_, SocketWait::readable, read_deadline_)) {
      cut_off_ = true;
      return -1;
    }
    const ssize_t received = receive_from_socket(socket_, buffer_.data(), buffer_.size());
    if (received == socket_would_block) continue;
    if (received <= 0) return received;
    buffer_begin_ = 0;
    buffer_end_ = static_cast<std::size_t>(received);
  }
  const std::size_t count = std::min({size, buffer_end_ - buffer_begin_, request_bytes_left_});
  const char* bytes = buffer_.data() + buffer_begin_;
  buffer_begin_ += count;
  request_bytes_left_ -= count;
  if (!header_lines_allow(bytes, count)) {
    cut_off_ = true;
    return -1;
  }
  std::memcpy(data, bytes, count);
  return static_cast<ssize_t>(count);
}

bool ConnectionStream::header_lines_allow(const char* data, std::size_t count) {
  for (std::size_t index = 0; index < count; ++index) {
    const auto character = static_cast<unsigned char>(data[index]);
    if (character == '\n') {
      line_length_ = 0;
      line_may_be_range_ = true;
      continue;
    }
    if (line_length_ < range_header_start.size() && std::tolower(character) != range_header_start[line_length_]) {
      line_may_be_range_ = false;
    }
    ++line_length_;
    if (line_may_be_range_ && line_length_ > max_range_line_bytes) return false;
  }
  return true;
}

ssize_t ConnectionStream::write(const char* data, size_t size) {
  const SocketClock::time_point deadline = write_deadline();
  for (;;) {
    const ssize_t sent = send_to_socket(socket_, data, size);
    if (sent != socket_would_block) return sent;
    if (!wait_for_socket(socket_, SocketWait::writable, deadline)) return -1;
  }
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  numeric_address(socket_, true, ip, port);
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
  numeric_address(socket_, false, ip, port);
}

SocketClock::time_point ConnectionStream::write_deadline() const {
  return std::min(SocketClock::now() + write_timeout_, connection_deadline_);
}
