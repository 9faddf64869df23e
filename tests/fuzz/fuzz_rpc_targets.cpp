// Fuzz targets of the node client: the JSON field scanner, the template, submission and error
// reply readers, and the URL split.

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <string>

#include "chain/address.h"
#include "chain/block.h"
#include "chain/coinbase.h"
#include "chain/hex.h"
#include "chain/merkle.h"
#include "chain/serialize.h"
#include "fuzz_input.h"
#include "pow/block_header.h"
#include "pow/target.h"
#include "rpc/block_submission.h"
#include "rpc/block_template.h"
#include "rpc/json_scan.h"
#include "rpc/rpc_client.h"

using fuzz::check;

namespace {

std::string without(std::string_view text, std::string_view unwanted) {
  std::string kept;
  for (const char c : text) {
    if (unwanted.find(c) == std::string_view::npos) kept += c;
  }
  return kept;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

enum class NumberBase { decimal, hexadecimal, octal };

// The number as a node may write it: decimal, or "0x" hexadecimal or "0" octal when not negative.
std::string written(std::int64_t value, NumberBase base) {
  char buffer[32];
  switch (base) {
    case NumberBase::decimal: std::snprintf(buffer, sizeof buffer, "%" PRId64, value); break;
    case NumberBase::hexadecimal: std::snprintf(buffer, sizeof buffer, "0x%" PRIx64, value); break;
    case NumberBase::octal: std::snprintf(buffer, sizeof buffer, "0%" PRIo64, value); break;
  }
  return buffer;
}

// A number written in decimal, hexadecimal and octal reads back as itself; one digit too many
// gives the nearest 64-bit limit.
void check_number_reads(std::int64_t value) {
  constexpr std::string_view name = "json_scan";
  const auto read = [](const std::string& written) { return json_get_int("{\"n\":" + written + "}", "n"); };
  check(read(written(value, NumberBase::decimal)) == value, name, "a decimal number reads back as itself");
  if (value >= 0) {
    check(read(written(value, NumberBase::hexadecimal)) == value, name, "a hexadecimal number reads back as itself");
    check(read(written(value, NumberBase::octal)) == value, name, "an octal number reads back as itself");
  }
  constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
  const std::string longer = written(value, NumberBase::decimal) + "0";
  if (value > max / 10) check(read(longer) == max, name, "a number above the 64-bit range reads as the largest");
  if (value < min / 10) check(read(longer) == min, name, "a number below the 64-bit range reads as the smallest");
}

// The value the miner mines on must be the same number the node's bits text says.
std::uint32_t bits_from_text(std::string_view eight_hex_digits) {
  std::uint32_t bits = 0;
  for (const std::uint8_t byte : hex_decode(eight_hex_digits)) bits = (bits << 8) | byte;
  return bits;
}

bool is_hex_of_length(std::string_view text, std::size_t digits) {
  return text.size() == digits && fuzz::is_hex_text(text);
}

// What the miner builds from an accepted template: coinbase, merkle leaves, header, target and
// the block text. Every hash must have 32 bytes and the block text must hold exactly its parts.
void check_block_assembly(const BlockTemplate& block_template) {
  constexpr std::string_view name = "block_template";
  static const ByteVector payout_script = address_to_script(dev_fee_address);
  const ByteVector commitment = hex_decode(block_template.witness_commitment);
  const ByteVector coinbase =
      build_coinbase(static_cast<std::uint64_t>(block_template.height), block_template.coinbase_value, payout_script,
                     "fuzz", commitment, payout_script, dev_fee_percent);

  std::vector<ByteVector> leaves{transaction_id(coinbase)};
  std::vector<std::string> transaction_data;
  std::size_t data_digits = 0;
  for (const TemplateTransaction& transaction : block_template.transactions) {
    if (!transaction.txid.empty()) leaves.push_back(hash_from_text(transaction.txid));
    transaction_data.push_back(transaction.data);
    data_digits += transaction.data.size();
  }
  for (const ByteVector& leaf : leaves) check(leaf.size() == 32, name, "every merkle leaf has 32 bytes");
  const ByteVector root = merkle_root(leaves);
  const ByteVector previous = hash_from_text(block_template.previous_block_hash);
  check(root.size() == 32 && previous.size() == 32, name, "the header's hashes have 32 bytes");

  Hash256 previous_hash{};
  Hash256 root_hash{};
  std::copy(previous.begin(), previous.end(), previous_hash.begin());
  std::copy(root.begin(), root.end(), root_hash.begin());
  const BlockHeader header =
      build_header(block_template.version, previous_hash, root_hash, block_template.curtime, block_template.bits);
  const Target256 target = block_template.target_text.empty() ? target_from_bits(block_template.bits)
                                                              : target_from_hex(block_template.target_text);
  check(difficulty_from_target(target) >= 0.0, name, "the difficulty is not negative");

  ByteVector count;
  append_compact_size(count, transaction_data.size() + 1);
  const std::string block = block_hex(header, coinbase, transaction_data);
  check(block.size() == 2 * (header.size() + count.size() + coinbase.size()) + data_digits, name,
        "the block text is the header, the count, the coinbase and every transaction's data");
}

}  // namespace

void fuzz_json_scan(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view name = "json_scan";
  const std::string_view input = fuzz::as_text(data, size);
  // "key NUL text"; without a NUL the whole input is scanned for "result".
  const std::size_t nul = input.find('\0');
  const std::string_view key = nul == std::string_view::npos ? "result" : input.substr(0, nul);
  const std::string_view text = nul == std::string_view::npos ? input : input.substr(nul + 1);

  const std::string value = json_get(text, key);
  if (!value.empty()) {
    const std::size_t key_position = text.find("\"" + std::string(key) + "\"");
    check(key_position != std::string_view::npos, name, "a value is found only where its quoted key stands");
    check(text.find(value, key_position) != std::string_view::npos, name, "a value is text that follows its key");
  }
  json_get_int(text, key);

  // A string member reads back as itself in a well-formed object.
  if (!contains(key, "\"") && !contains(key, ":")) {
    const std::string member = without(text, "\"");
    const std::string object = "{\"" + std::string(key) + "\":\"" + member + "\",\"next\":1}";
    check(json_get(object, key) == member, name, "a string member reads back as itself");
  }
  check_number_reads(static_cast<std::int64_t>(fuzz::leading_u64(text)));
}

void fuzz_block_template(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view name = "block_template";
  // The text from the reply's result member on, as the node client hands it over.
  const std::string_view reply = fuzz::as_text(data, size);
  BlockTemplate block_template;
  fill_from_result(block_template, reply);
  if (!block_template.valid) return;

  check(is_hex_of_length(block_template.previous_block_hash, 64), name, "the previous hash is 64 hex digits");
  check(is_hex_of_length(block_template.bits_text, 8), name, "the bits are 8 hex digits");
  check(block_template.bits == bits_from_text(block_template.bits_text), name, "the bits are the number of their text");
  for (const TemplateTransaction& transaction : block_template.transactions) {
    check(!transaction.data.empty(), name, "every transaction has data");
    check(transaction.txid.empty() || is_hex_of_length(transaction.txid, 64), name,
          "every transaction id is empty or 64 hex digits");
  }
  check(block_template.transactions.size() <=
            static_cast<std::size_t>(std::count(reply.begin(), reply.end(), '{')),
        name, "no more transactions than objects in the reply");
  check_block_assembly(block_template);
}

void fuzz_submit_reply(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view name = "submit_reply";
  const std::string_view body = fuzz::as_text(data, size);
  for (const int status : {200, 500}) {
    const SubmitResult result = judge_submit_reply(HttpReply{status, std::string(body)}, "127.0.0.1:8899");
    check(!result.accepted || result.judged, name, "only a verdict on the block accepts it");
    check(result.accepted == result.reason.empty(), name, "a block not accepted always has a reason");
    check(!result.accepted || contains(body, "\"result\""), name, "a block is accepted only by a reply with a result");
  }

  // Well-formed replies built around the input as the node's reason or error message.
  const std::string reason = without(body, "\"\\");
  const SubmitResult with_reason =
      judge_submit_reply(HttpReply{200, "{\"result\":\"" + reason + "\",\"error\":null,\"id\":\"m\"}"}, "node");
  check(with_reason.judged, name, "a result string is a verdict");
  check(!with_reason.accepted || contains(reason, "duplicate"), name, "only a duplicate reason counts as accepted");
  const std::int64_t code = -static_cast<std::int64_t>(fuzz::leading_u64(body) % 40);
  const SubmitResult with_error = judge_submit_reply(
      HttpReply{500, "{\"result\":null,\"error\":{\"code\":" + std::to_string(code) + ",\"message\":\"" + reason +
                         "\"},\"id\":\"m\"}"},
      "node");
  check(!with_error.accepted, name, "a reply with a non-null error never accepts a block");
  check(with_error.judged == (code == -22), name, "of the errors only a failed decode is a verdict on the block");
  check(reason.empty() || with_error.reason == reason, name, "the node's error message is the reason");
}

void fuzz_rpc_error(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view name = "rpc_error";
  const std::string_view reply = fuzz::as_text(data, size);
  const std::string message = rpc_error_message(reply);
  if (!message.empty()) {
    const std::size_t error_key = reply.find("\"error\"");
    check(error_key != std::string_view::npos, name, "a message is found only in a reply with an error member");
    check(reply.find(message, error_key) != std::string_view::npos, name, "the message is text of the error member");
  }

  // Well-formed replies built around the input as the node's message.
  const std::string text = without(reply, "\"");
  const std::string error_reply = "{\"result\":null,\"error\":{\"code\":-8,\"message\":\"" + text + "\"},\"id\":\"m\"}";
  check(rpc_error_message(error_reply) == text, name, "an error's message reads back as itself");
  check(rpc_error_message("{\"result\":\"" + text + "\",\"error\":null,\"id\":\"m\"}").empty(), name,
        "a null error has no message");
}

void fuzz_url(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view name = "url";
  const std::string_view url = fuzz::as_text(data, size);
  const HttpEndpoint endpoint = split_url(url);
  check(endpoint.path.starts_with('/'), name, "the path begins with a slash");
  check(!contains(endpoint.host, "/"), name, "the host holds no slash");
  check(endpoint.secure == url.starts_with("https://"), name, "TLS exactly for https URLs");

  // The endpoint written back as a URL, with its port spelled out, splits into itself.
  const bool bracketed = contains(endpoint.host, ":");
  const std::string rebuilt = std::string(endpoint.secure ? "https://" : "http://") +
                              (bracketed ? "[" + endpoint.host + "]" : endpoint.host) + ":" +
                              std::to_string(endpoint.port) + endpoint.path;
  const HttpEndpoint again = split_url(rebuilt);
  check(again.host == endpoint.host && again.port == endpoint.port && again.path == endpoint.path &&
            again.secure == endpoint.secure,
        name, "a split URL written back splits the same way");
}
