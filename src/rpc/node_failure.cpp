#include "rpc/node_failure.h"

namespace {

// JSON-RPC error codes of the coin's node that need their own advice.
constexpr std::int64_t rpc_invalid_parameter = -8;
constexpr std::int64_t rpc_not_connected = -9;
constexpr std::int64_t rpc_in_initial_download = -10;
constexpr std::int64_t rpc_in_warmup = -28;
constexpr std::int64_t rpc_method_not_found = -32601;

constexpr int http_unauthorized = 401;
constexpr int http_not_found = 404;

const std::string wrong_endpoint_advice =
    ": the URL is not the coin's RPC endpoint; check -o (for example http://127.0.0.1:8899/)";

std::string with_detail(const std::string& message) { return message.empty() ? "" : " (" + message + ")"; }

std::string describe_rpc_error(const NodeFailure& failure) {
  std::string text = "the node answered RPC error " + std::to_string(failure.rpc_code) + ": " + failure.message;
  switch (failure.rpc_code) {
    case rpc_not_connected:
    case rpc_in_initial_download:
    case rpc_in_warmup:
      return text + "; the node is still starting or syncing, mining begins by itself when it is ready";
    case rpc_invalid_parameter:
      return text + "; the node must take getblocktemplate with the segwit rule, as the coin's own node does";
    case rpc_method_not_found:
      return text + wrong_endpoint_advice;
    default:
      return text;
  }
}

std::string describe_http_status(const NodeFailure& failure) {
  const std::string status = "HTTP " + std::to_string(failure.http_status);
  if (failure.http_status == http_unauthorized) {
    return "the node refused the RPC credentials (" + status +
           "): check -u and -p, or give the node's .cookie file with --rpc-cookie";
  }
  if (failure.http_status == http_not_found) return "the node answered " + status + wrong_endpoint_advice;
  return status + " from " + failure.endpoint +
         " without a JSON-RPC answer: a proxy or another server answers at that URL, or the node is failing";
}

}  // namespace

std::string describe_node_failure(const NodeFailure& failure) {
  switch (failure.kind) {
    case NodeFailureKind::none:
      return {};
    case NodeFailureKind::unreachable:
      return "cannot reach the node at " + failure.endpoint + with_detail(failure.message) +
             ": is it running, with its RPC server on at that address and port?";
    case NodeFailureKind::no_answer:
      return "the node at " + failure.endpoint + " closed the connection without an answer" +
             with_detail(failure.message) + ": is that the node's RPC port?";
    case NodeFailureKind::cut_short:
      return "the reply from " + failure.endpoint + " was cut short" + with_detail(failure.message) +
             " and was not used: the connection to the node or a proxy on the way is dropping it";
    case NodeFailureKind::too_large:
      return "the reply from " + failure.endpoint + " was larger than any block template" +
             with_detail(failure.message) + " and was dropped: is the URL the coin's RPC endpoint?";
    case NodeFailureKind::abandoned:
      return "the request to " + failure.endpoint + " was abandoned: stop requested";
    case NodeFailureKind::http_status:
      return describe_http_status(failure);
    case NodeFailureKind::rpc_error:
      return describe_rpc_error(failure);
    case NodeFailureKind::bad_reply:
      return "the reply from " + failure.endpoint + " is not a JSON-RPC answer with a result" +
             with_detail(failure.message) + ": is the URL the coin's RPC endpoint?";
    case NodeFailureKind::stratum_server:
      return "a Stratum pool answers at " + failure.endpoint +
             ", not the node's RPC server: to mine in the pool, give it as -o stratum+tcp://" + failure.endpoint;
    case NodeFailureKind::not_http:
      return "the server at " + failure.endpoint +
             " does not answer in HTTP: it is not the node's RPC server (a Stratum pool is given as -o "
             "stratum+tcp://HOST:PORT)";
    case NodeFailureKind::cookie_unreadable:
      return "cannot read the cookie file " + failure.endpoint + with_detail(failure.message) +
             ": is the node running, and is this the .cookie file in its data directory?";
  }
  return {};
}

NodeFailureKind kind_of_reply_that_is_not_http(std::string_view first_bytes) {
  const std::size_t start = first_bytes.find_first_not_of(" \t\r\n");
  const bool json_object = start != std::string_view::npos && first_bytes[start] == '{';
  return json_object ? NodeFailureKind::stratum_server : NodeFailureKind::not_http;
}

bool same_node_failure_cause(const NodeFailure& a, const NodeFailure& b) {
  const bool message_is_the_nodes = a.kind == NodeFailureKind::rpc_error;
  return a.kind == b.kind && a.endpoint == b.endpoint && a.http_status == b.http_status &&
         a.rpc_code == b.rpc_code && (!message_is_the_nodes || a.message == b.message);
}
