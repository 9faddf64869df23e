#include "rpc/block_template.h"

#include <cstdlib>
#include <exception>

#include "rpc/json_scan.h"

namespace {

bool is_hex_of_length(std::string_view text, std::size_t digits) {
  if (text.size() != digits) return false;
  for (const char c : text) {
    const bool hex_digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex_digit) return false;
  }
  return true;
}

// strtoul rules with base 16 (blanks, an optional "0x", stop at the first non-digit), but a
// value beyond 32 bits gives 0xFFFFFFFF on every platform.
std::uint32_t parse_hex_u32(const std::string& text) {
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 16);
  return value > 0xFFFFFFFFULL ? 0xFFFFFFFFU : static_cast<std::uint32_t>(value);
}

// The 32-bit header fields keep the low 32 bits of the value.
std::uint32_t low_32_bits(std::int64_t value) { return static_cast<std::uint32_t>(value); }

bool transactions_are_well_formed(const std::vector<TemplateTransaction>& transactions) {
  for (const TemplateTransaction& transaction : transactions) {
    if (!transaction.txid.empty() && !is_hex_of_length(transaction.txid, 64)) return false;
  }
  return true;
}

}  // namespace

void fill_from_result(BlockTemplate& block_template, std::string_view result) {
  block_template.previous_block_hash = json_get(result, "previousblockhash");
  block_template.bits_text = json_get(result, "bits");
  block_template.version = static_cast<std::int32_t>(low_32_bits(json_get_int(result, "version")));
  block_template.curtime = low_32_bits(json_get_int(result, "curtime"));
  block_template.height = json_get_int(result, "height");
  block_template.target_text = json_get(result, "target");
  block_template.bits = parse_hex_u32(block_template.bits_text);
  block_template.coinbase_value = json_get_int(result, "coinbasevalue");
  block_template.witness_commitment = json_get(result, "default_witness_commitment");
  block_template.longpoll_id = json_get(result, "longpollid");
  block_template.transactions = parse_transactions(result);
  block_template.valid = is_hex_of_length(block_template.previous_block_hash, 64) &&
                         is_hex_of_length(block_template.bits_text, 8) &&
                         transactions_are_well_formed(block_template.transactions);
}

namespace {

BlockTemplate request_block_template(RpcClient& client, const std::string& params) {
  BlockTemplate block_template;
  try {
    const std::string reply = rpc_call(client, "getblocktemplate", params);
    const std::size_t result_key = reply.find("\"result\"");
    if (reply.size() < 8 || result_key == std::string::npos) {
      block_template.failure = {NodeFailureKind::bad_reply, endpoint_text(client.connection->endpoint), 0, 0,
                                reply.empty() ? "empty reply" : "no result"};
      return block_template;
    }
    // Only the result member is scanned, so keys that come before it are never mistaken for it.
    fill_from_result(block_template, std::string_view(reply).substr(result_key));
  } catch (const NodeRequestError& error) {
    block_template.valid = false;
    block_template.failure = error.failure;
  } catch (const std::exception&) {
    block_template.valid = false;
  }
  return block_template;
}

}  // namespace

BlockTemplate get_block_template(RpcClient& client) {
  return request_block_template(client, "[{\"rules\":[\"segwit\"]}]");
}

BlockTemplate get_block_template_longpoll(RpcClient& client, std::string_view longpoll_id) {
  for (const char c : longpoll_id) {
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return {};
  }
  return request_block_template(client,
                                "[{\"rules\":[\"segwit\"],\"longpollid\":\"" + std::string(longpoll_id) + "\"}]");
}

std::vector<TemplateTransaction> parse_transactions(std::string_view text) {
  std::vector<TemplateTransaction> transactions;
  const std::size_t key = text.find("\"transactions\"");
  if (key == std::string_view::npos) return transactions;
  const std::size_t array_start = text.find('[', key);
  if (array_start == std::string_view::npos) return transactions;

  int depth = 0;
  std::size_t object_start = 0;
  for (std::size_t i = array_start; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '{') {
      if (depth == 0) object_start = i;
      ++depth;
    } else if (c == '}') {
      --depth;
      if (depth == 0) {
        const std::string_view object = text.substr(object_start, i - object_start + 1);
        TemplateTransaction transaction{json_get(object, "data"), json_get(object, "txid")};
        if (!transaction.data.empty()) transactions.push_back(std::move(transaction));
      }
    } else if (c == ']' && depth == 0) {
      break;
    }
  }
  return transactions;
}
