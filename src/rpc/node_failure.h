#pragma once
// Why a request to the node failed, and what the user can do about it. A plain record that the
// node client fills in and the console, the monitoring API or a log can render.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

enum class NodeFailureKind {
  none,
  unreachable,        // no connection, or no reply within the time-out
  no_answer,          // connected, but the node closed the connection without a reply
  cut_short,          // the reply ended before its announced length or its last chunk
  too_large,          // the reply passed max_reply_bytes and was dropped
  abandoned,          // a stop request ended the wait
  http_status,        // an HTTP error status without a JSON-RPC error in the body
  rpc_error,          // the node answered with a JSON-RPC error
  bad_reply,          // a reply that is not a JSON-RPC answer with a result
  cookie_unreadable,  // the cookie file with the credentials could not be read
  stratum_server,     // the reply is a Stratum line: a pool listens at the node's URL
  not_http,           // the reply is neither HTTP nor Stratum: another service listens there
};

struct NodeFailure {
  NodeFailureKind kind = NodeFailureKind::none;
  std::string endpoint;       // "host:port" of the node; the cookie file's path for cookie_unreadable
  int http_status = 0;        // 0 when no reply headers arrived
  std::int64_t rpc_code = 0;  // the JSON-RPC error code, for rpc_error
  std::string message;        // the node's error message, or what the transport saw

  bool operator==(const NodeFailure&) const = default;
};

// The kind of a reply that came without an HTTP status line, by its first bytes: a JSON object
// (a Stratum pool's answer or notification) or anything else.
NodeFailureKind kind_of_reply_that_is_not_http(std::string_view first_bytes);

// One line of text (no line end): what went wrong and what to do about it. Empty for none.
std::string describe_node_failure(const NodeFailure& failure);

// Whether two failures have one cause, so that a retry that fails the same way is not reported
// again. The transport's own text is left out: it varies between attempts ("after 1 ms").
bool same_node_failure_cause(const NodeFailure& a, const NodeFailure& b);

// Thrown by the node client when a request fails; what() names the failed step briefly.
struct NodeRequestError : std::runtime_error {
  NodeRequestError(const std::string& what, NodeFailure cause) : std::runtime_error(what), failure(std::move(cause)) {}
  NodeFailure failure;
};
