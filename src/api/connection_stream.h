#pragma once
// One connection of the API server, as the HTTP library reads requests from it and writes
// answers to it. The library's own stream waits a fixed time per read, so a client that sends a
// byte now and then holds a worker for ever, and it reads a header line of any length into
// memory. Here reading a request ends at a deadline and after a number of bytes, and every wait
// ends at the connection's deadline. Bytes that arrive with a request and belong to the next one
// are kept for it.
//
// httplib matches the Range header with std::regex, which recurses for every few characters: a
// line of some thousand ranges overflows a 2 MiB thread stack (Windows' default) and ends the
// process. A Range line longer than max_range_line_bytes ends the request before httplib has
// it whole, and httplib answers 400; the API serves no ranges anyway. A request cut off for its
// time, its size or its Range line is the connection's last: what follows it is not a request.

#include <httplib.h>

#include <array>
#include <cstddef>
#include <string>

#include "api/connection_socket.h"

class ConnectionStream final : public httplib::Stream {
 public:
  static constexpr std::size_t max_range_line_bytes = 1024;

  // Makes the socket non-blocking. Each write may wait write_timeout for room; a request may
  // take max_request_bytes to read.
  ConnectionStream(socket_t socket, SocketClock::time_point connection_deadline, SocketClock::duration write_timeout,
                   std::size_t max_request_bytes);

  // A request begins: reading it ends at read_deadline, or at the connection's when that comes
  // first.
  void start_request(SocketClock::time_point read_deadline);
  // Bytes of a next request came in with the last one.
  bool has_buffered_bytes() const { return buffer_begin_ < buffer_end_; }

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* data, size_t size) override;
  ssize_t write(const char* data, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return socket_; }

 private:
  SocketClock::time_point write_deadline() const;
  // Follows the header lines through the bytes handed to httplib; false when they make a Range
  // line too long.
  bool header_lines_allow(const char* data, std::size_t count);

  socket_t socket_;
  SocketClock::time_point connection_deadline_;
  SocketClock::duration write_timeout_;
  std::size_t max_request_bytes_;
  SocketClock::time_point read_deadline_;
  std::size_t request_bytes_left_ = 0;
  bool cut_off_ = false;
  std::size_t line_length_ = 0;    // bytes of the current line so far
  bool line_may_be_range_ = true;  // the line so far could start "Range:"
  std::array<char, 4096> buffer_{};
  std::size_t buffer_begin_ = 0;
  std::size_t buffer_end_ = 0;
};
