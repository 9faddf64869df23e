#pragma once
// The platform's HTTP client behind one small seam: a root handle opened once, then one
// synchronous POST per call over a fresh connection. One implementation file per platform
// (libcurl on POSIX systems, WinHTTP on Windows); CMake picks the file.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Where requests go, as split from the configured URL.
struct HttpEndpoint {
  std::string host;  // name or address; an IPv6 literal without its brackets
  std::uint16_t port = 80;
  std::string path = "/";  // always begins with "/"; a query stays in it
  bool secure = false;     // the URL began with "https://": use TLS
};

// A node that accepts the connection and never answers must not stall mining for ever.
inline constexpr std::chrono::milliseconds default_connect_timeout{10'000};
inline constexpr std::chrono::milliseconds default_request_timeout{60'000};

// Far above any real block template; a reply that grows past it (an endless stream, a wrong
// server) is dropped before it exhausts memory.
inline constexpr std::size_t max_reply_bytes = std::size_t{64} * 1024 * 1024;

struct HttpTimeouts {
  std::chrono::milliseconds connect = default_connect_timeout;
  std::chrono::milliseconds request = default_request_timeout;  // the whole exchange
};

// "host:port" as a user would type it, an IPv6 literal in brackets.
std::string endpoint_text(const HttpEndpoint& endpoint);

struct HttpReply {
  int status = 0;  // the HTTP status code
  std::string body;
};

struct HttpSession;  // the platform client's root handle; defined by each side
struct HttpSessionDeleter {
  void operator()(HttpSession* session) const noexcept;
};
using HttpSessionHandle = std::unique_ptr<HttpSession, HttpSessionDeleter>;

// Opens the root handle with the given User-Agent. Throws std::runtime_error when it cannot.
HttpSessionHandle http_session_open(std::string_view user_agent);

// POSTs the body (sent in one piece with its length) with the given header lines (no line ends)
// and returns the status and the whole reply body, transfer coding removed, whatever the status.
// Only a complete transfer is a reply: throws NodeRequestError (its failure says why) when no
// connection is made, no reply comes within the time-outs, the reply is cut short or passes
// max_reply_bytes, or cancel (may be null) becomes true while the request waits; a cancelled
// request is abandoned within about a second. Never lets an exception through the client's
// callbacks.
HttpReply http_post(HttpSession& session, const HttpEndpoint& endpoint, const std::vector<std::string>& header_lines,
                    std::string_view body, const HttpTimeouts& timeouts, const std::atomic<bool>* cancel);
