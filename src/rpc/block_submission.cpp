#include "rpc/block_submission.h"

#include <exception>
#include <optional>
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

}  // namespace

bool submit_reply_accepts_block(std::string_view reply) {
  if (has_error(reply)) return false;
  const std::size_t result_key = reply.find("\"result\"");
  if (reply.size() < 8 || result_key == std::string_view::npos) return false;
  std::size_t value = reply.find(':', result_key);
  if (value == std::string_view::npos) return false;
  ++value;
  while (value < reply.size() && is_json_blank(reply[value])) ++value;
  const std::string_view rest = reply.substr(value);
  if (rest.starts_with("null")) return true;
  if (!rest.starts_with('"')) return false;
  // A reason string: only "the node already has this block" counts, unless the node also says
  // the block was invalid ("duplicate-invalid") or rejected.
  const std::string reason = json_get(reply.substr(result_key), "result");
  return reason.find("duplicate") != std::string::npos && reason.find("invalid") == std::string::npos &&
         reason.find("rejected") == std::string::npos;
}

bool submit_block(RpcClient& client, const std::string& block_hex) {
  try {
    const std::string params = "[\"" + block_hex + "\"]";
    std::optional<std::string> reply;
    for (int attempt = 1; !reply; ++attempt) {
      try {
        reply = rpc_exchange(client, "submitblock", params);
      } catch (const std::exception&) {
        if (attempt == submit_attempts || !client.connection) return false;
        std::this_thread::sleep_for(client.connection->submit_retry_delay);
      }
    }
    return submit_reply_accepts_block(*reply);
  } catch (const std::exception&) {
    return false;
  }
}
