#include "rpc/block_template.h"

#include <cstdlib>
#include <exception>
#include <optional>

#include "chain/coinbase.h"
#include "chain/hex.h"

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

bool is_even_length_hex(std::string_view text) { return text.size() % 2 == 0 && is_hex_of_length(text, text.size()); }

// A txid the node left out is computed from the data, as the node would (the legacy id), so that
// the merkle leaves always match the block body. False when an id is malformed or the data is
// not hex of one whole transaction.
bool complete_transactions(std::vector<TemplateTransaction>& transactions) {
  for (TemplateTransaction& transaction : transactions) {
    if (!is_even_length_hex(transaction.data)) return false;
    if (!transaction.txid.empty()) {
      if (!is_hex_of_length(transaction.txid, 64)) return false;
      continue;
    }
    const std::optional<ByteVector> id = read_transaction_id(hex_decode(transaction.data));
    if (!id) return false;
    const ByteVector display_order(id->rbegin(), id->rend());
    transaction.txid = hex_encode(display_order.data(), display_order.size());
  }
  return true;
}

// Values no node sends for a block that can be mined: they would give a coinbase of another
// height or with negative outputs, or a target that no hash meets.
bool values_in_range(const BlockTemplate& block_template) {
  constexpr std::int64_t largest_height = 0x7fffffff;
  const bool target_well_formed = block_template.target_text.empty() || is_hex_of_length(block_template.target_text, 64);
  return block_template.height >= 0 && block_template.height <= largest_height && block_template.coinbase_value >= 0 &&
         target_well_formed;
}

}  // namespace

// Only the result object's own members are read: a member of the same name nested in another
// one (a "height" inside some extension object) is not the template's.
void fill_from_result(BlockTemplate& block_template, std::string_view result) {
  block_template.previous_block_hash = json_get_member(result, "previousblockhash");
  block_template.bits_text = json_get_member(result, "bits");
  block_template.version = static_cast<std::int32_t>(low_32_bits(json_get_member_int(result, "version")));
  block_template.curtime = low_32_bits(json_get_member_int(result, "curtime"));
  block_template.height = json_get_member_int(result, "height");
  block_template.target_text = json_get_member(result, "target");
  block_template.bits = parse_hex_u32(block_template.bits_text);
  block_template.coinbase_value = json_get_member_int(result, "coinbasevalue");
  block_template.witness_commitment = json_get_member(result, "default_witness_commitment");
  block_template.longpoll_id = json_get_member(result, "longpollid");
  block_template.transactions = parse_transactions(result);
  block_template.valid = is_hex_of_length(block_template.previous_block_hash, 64) &&
                         is_hex_of_length(block_template.bits_text, 8) && values_in_range(block_template) &&
                         complete_transactions(block_template.transactions);
}

namespace {

BlockTemplate request_block_template(RpcClient& client, const std::string& params) {
  BlockTemplate block_template;
  try {
    const std::string reply = rpc_call(client, "getblocktemplate", params);
    // Only the reply's own result object is scanned, so members outside it are never mistaken
    // for the template's; a null result gives nothing.
    const std::string_view result = json_member_object(reply, "result");
    if (result.empty()) {
      block_template.failure = {NodeFailureKind::bad_reply, endpoint_text(client.connection->endpoint), 0, 0,
                                reply.empty() ? "empty reply" : "no result"};
      return block_template;
    }
    fill_from_result(block_template, result);
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
  // The object's own "transactions" member, and only when it holds an array: the same word in a
  // list such as "mutable" is not the member.
  const std::string_view array = json_member_array(text, "transactions");
  int depth = 0;
  std::size_t object_start = 0;
  for (std::size_t i = 0; i < array.size(); ++i) {
    const char c = array[i];
    if (c == '{') {
      if (depth == 0) object_start = i;
      ++depth;
    } else if (c == '}') {
      --depth;
      if (depth == 0) {
        const std::string_view object = array.substr(object_start, i - object_start + 1);
        TemplateTransaction transaction{json_get_member(object, "data"), json_get_member(object, "txid")};
        if (!transaction.data.empty()) transactions.push_back(std::move(transaction));
      }
    } else if (c == ']' && depth == 0) {
      break;
    }
  }
  return transactions;
}
