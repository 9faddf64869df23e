#include "rpc/block_submission.h"

#include <exception>
#include <thread>

#include "rpc/json_scan.h"

namespace {

bool is_json_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The node's error code for a block it could not decode: a verdict on those bytes.
constexpr std::int64_t block_decode_failed = -22;

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

}  // namespace

SubmitResult judge_submit_reply(const HttpReply& reply, const std::string& endpoint) {
  const std::string_view body = reply.body;
  if (has_error(body)) {
    const std::string_view error = body.substr(body.find("\"error\""));
    const std::string message = json_get(error, "message");
    return {false, message.empty() ? "the node answered with an error without a message" : message,
            json_get_int(error, "code") == block_decode_failed};
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
  if (rest.starts_with("null")) return {true, "", true};
  const std::string reason = json_get(body.substr(result_key), "result");
  if (!rest.starts_with('"')) return {false, "unexpected result " + reason};
  // A reason string: only "the node already has this block" counts, unless the node also says
  // the block was invalid ("duplicate-invalid") or rejected.
  const bool already_has_it = reason.find("duplicate") != std::string::npos &&
                              reason.find("invalid") == std::string::npos &&
                              reason.find("rejected") == std::string::npos;
  if (already_has_it) return {true, "", true};
  // An empty or unterminated reason still says the block was not taken; the user is told so.
  if (reason.empty()) return {false, "the node rejected the block without a reason", true};
  return {false, explain_reason(reason), true};
}

SubmitResult submit_block(RpcClient& client, const std::string& block_hex) {
  try {
    const std::string params = "[\"" + block_hex + "\"]";
    for (int attempt = 1;; ++attempt) {
      SubmitResult result;
      try {
        const HttpReply reply = rpc_exchange(client, "submitblock", params, RpcRequestKind::submission);
        result = judge_submit_reply(reply, endpoint_text(client.connection->endpoint));
        if (result.judged) return result;
      } catch (const NodeRequestError& error) {
        result = {false, describe_node_failure(error.failure), false};
      }
      if (attempt == submit_attempts || !client.connection) return result;
      std::this_thread::sleep_for(client.connection->submit_retry_delay);
    }
  } catch (const std::exception& error) {
    return {false, error.what()};
  }
}
