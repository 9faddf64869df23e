#include "rpc/block_submission.h"

#include <exception>
#include <thread>

#include "rpc/json_scan.h"

namespace {

bool is_json_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// An "error" member whose value is anything but null means the node refused the request,
// whether or not it gave a message.
bool has_error(std::string_view reply) {
  const std::string error = json_get(reply, "error");
  return !error.empty() && error != "null";
}

// How a reason the node gives in its own words reads to the user.
std::string explain_reason(std::string reason) {
  if (reason == "inconclusive") {
    return "inconclusive: the node neither accepted nor refused the block (it does not extend the node's best "
           "chain, which moved on)";
  }
  return reason;
}

SubmitResult judge_reply(const HttpReply& reply, const std::string& endpoint) {
  const std::string_view body = reply.body;
  if (has_error(body)) {
    const std::string message = json_get(body.substr(body.find("\"error\"")), "message");
    return {false, message.empty() ? "the node answered with an error without a message" : message};
  }
  const std::size_t result_key = body.find("\"result\"");
  if (body.size() < 8 || result_key == std::string_view::npos) {
    if (reply.status >= 200 && reply.status < 300) return {false, "the node's reply has no result"};
    return {false, describe_node_failure({NodeFailureKind::http_status, endpoint, reply.status, 0, ""})};
  }
  std::size_t value = body.find(':', result_key);
  if (value == std::string_view::npos) return {false, "the node's reply has no result"};
  ++value;
  while (value < body.size() && is_json_blank(body[value])) ++value;
  const std::string_view rest = body.substr(value);
  if (rest.starts_with("null")) return {true, ""};
  const std::string reason = json_get(body.substr(result_key), "result");
  if (!rest.starts_with('"')) return {false, "unexpected result " + reason};
  // A reason string: only "the node already has this block" counts, unless the node also says
  // the block was invalid ("duplicate-invalid") or rejected.
  const bool already_has_it = reason.find("duplicate") != std::string::npos &&
                              reason.find("invalid") == std::string::npos &&
                              reason.find("rejected") == std::string::npos;
  if (already_has_it) return {true, ""};
  return {false, explain_reason(reason)};
}

}  // namespace

SubmitResult submit_block(RpcClient& client, const std::string& block_hex) {
  try {
    const std::string params = "[\"" + block_hex + "\"]";
    for (int attempt = 1;; ++attempt) {
      try {
        const HttpReply reply = rpc_exchange(client, "submitblock", params, RpcRequestKind::submission);
        return judge_reply(reply, endpoint_text(client.connection->endpoint));
      } catch (const NodeRequestError& error) {
        if (attempt == submit_attempts || !client.connection) return {false, describe_node_failure(error.failure)};
        std::this_thread::sleep_for(client.connection->submit_retry_delay);
      }
    }
  } catch (const std::exception& error) {
    return {false, error.what()};
  }
}
