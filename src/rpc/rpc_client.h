#pragma once
// JSON-RPC 1.0 over HTTP POST with Basic authorisation: the one client of a mining run.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "rpc/http_transport.h"

inline constexpr std::string_view rpc_user_agent = "Veltrane-GPU-Miner/1.0";

// Pause between the attempts of a block submission whose request did not get through.
inline constexpr std::chrono::milliseconds default_submit_retry_delay{1'000};

// Everything the requests need, prepared once by rpc_client_open.
struct RpcConnection {
  HttpSessionHandle session;
  HttpEndpoint endpoint;
  std::string authorization;  // the whole "Authorization: Basic ..." header line, no line end
  HttpTimeouts timeouts;
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

// Splits the URL, prepares the authorisation line and opens the HTTP root handle. Nothing is
// sent yet. Throws std::runtime_error when the root handle cannot be opened.
RpcClient rpc_client_open(const std::string& url, const std::string& user, const std::string& password);

// One POST of the envelope; the raw reply, whatever the HTTP status. Throws std::runtime_error
// only when the transport fails.
std::string rpc_exchange(RpcClient& client, std::string_view method, std::string_view params);

// rpc_exchange, then throws std::runtime_error("RPC error: " + message) when the reply carries
// an error with a message.
std::string rpc_call(RpcClient& client, std::string_view method, std::string_view params);

// Closes the root handle and frees the connection; the client can then no longer be used.
void rpc_client_close(RpcClient& client);
