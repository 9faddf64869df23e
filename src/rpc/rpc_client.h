#pragma once
// JSON-RPC 1.0 over HTTP POST with Basic authorisation: the one client of a mining run.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "rpc/http_transport.h"
#include "rpc/node_failure.h"

inline constexpr std::string_view rpc_user_agent = "Veltrane-GPU-Miner/1.0";

// Pause between the attempts of a block submission whose request did not get through.
inline constexpr std::chrono::milliseconds default_submit_retry_delay{1'000};

// The tip poll runs between GPU batches: a node that does not answer it must not idle the GPU
// for long.
inline constexpr std::chrono::milliseconds default_tip_poll_timeout{3'000};

// What a client needs besides the URL and the Basic credentials.
struct RpcClientOptions {
  // When set, "user:password" is read from this file (the node's .cookie) instead of the
  // credentials, and read again after every HTTP 401: the node rewrites it at each start.
  std::string cookie_path;
  // Once this is true, requests other than submissions are abandoned within about a second.
  const std::atomic<bool>* stop_requested = nullptr;
};

enum class RpcRequestKind {
  work,        // a template: abandoned on a stop request
  tip_poll,    // abandoned on a stop request, and bounded by tip_poll_timeout
  submission,  // carries a found block: always completed
};

// Everything the requests need, prepared once by rpc_client_open.
struct RpcConnection {
  HttpSessionHandle session;
  HttpEndpoint endpoint;
  std::string authorization;  // the whole "Authorization: Basic ..." header line, no line end
  std::string cookie_path;    // empty: the authorization line comes from the configured credentials
  const std::atomic<bool>* stop_requested = nullptr;
  HttpTimeouts timeouts;
  std::chrono::milliseconds tip_poll_timeout = default_tip_poll_timeout;
  std::chrono::milliseconds submit_retry_delay = default_submit_retry_delay;
};

struct RpcClient {
  std::string url;  // the three texts exactly as configured; not read again after opening
  std::string user;
  std::string password;
  std::unique_ptr<RpcConnection> connection;  // null once closed
};

// Splits "[http://|https://]host[:port][/path]". Without a port, 443 for https and 80 otherwise;
// the port text is read as atol reads it and cut to 16 bits. The path runs from the first "/"
// after the scheme, query included; a bracketed IPv6 literal keeps its colons in the host.
HttpEndpoint split_url(std::string_view url);

// Base64 (RFC 4648 section 4, standard alphabet, "=" padding, no line breaks).
std::string base64_encode(std::string_view bytes);

// "Authorization: Basic " + Base64 of user:password, also when both are empty.
std::string authorization_line(std::string_view user, std::string_view password);

// The request envelope; method and params (a complete JSON array text) are inserted verbatim.
std::string rpc_request_body(std::string_view method, std::string_view params);

// The message of the RPC error in the reply: the "message" of the reply's own "error" member when
// that is an object; empty when the error is null, missing or carries no message.
std::string rpc_error_message(std::string_view reply);

// The cookie file's first line as a Basic authorisation line. Throws NodeRequestError
// (cookie_unreadable) when the file cannot be read or is empty.
std::string authorization_from_cookie(const std::string& cookie_path);

// Splits the URL, prepares the authorisation line and opens the HTTP root handle. Nothing is
// sent yet, and a cookie file is first read by the first request. Throws std::runtime_error when
// the root handle cannot be opened.
RpcClient rpc_client_open(const std::string& url, const std::string& user, const std::string& password,
                          RpcClientOptions options = {});

// One POST of the envelope; the status and the raw reply, whatever the status. With a cookie
// file, a 401 makes it read the file again and, when the credentials changed, send once more.
// Throws NodeRequestError only when the transport fails, the request is abandoned or the cookie
// cannot be read.
HttpReply rpc_exchange(RpcClient& client, std::string_view method, std::string_view params,
                       RpcRequestKind kind = RpcRequestKind::work);

// rpc_exchange, then throws NodeRequestError with what() "RPC error: " + message when the reply
// carries an error with a message, and with what() "HTTP status N" for an HTTP error status
// without one. Returns the reply body.
std::string rpc_call(RpcClient& client, std::string_view method, std::string_view params,
                     RpcRequestKind kind = RpcRequestKind::work);

// Closes the root handle and frees the connection; the client can then no longer be used.
void rpc_client_close(RpcClient& client);
