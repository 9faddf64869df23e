#pragma once
// The node's block template: the fields a job needs, taken from a getblocktemplate reply.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rpc/node_failure.h"
#include "rpc/rpc_client.h"

struct TemplateTransaction {
  std::string data;  // hex of the serialised transaction, as sent; never empty
  // Hex in display order (reverse of internal order), as sent; in a valid template one the node
  // left out is computed from the data.
  std::string txid;
};

// Texts are stored exactly as the node sent them. When valid is false no other field counts.
struct BlockTemplate {
  std::string previous_block_hash;  // hex in display order: reversed into the header
  std::string bits_text;            // compact target as hex text
  std::string target_text;          // 256-bit target, most significant digit first; may be empty
  std::string witness_commitment;   // hex of the commitment output script; may be empty
  std::string longpoll_id;          // "longpollid": names this template in a longpoll; may be empty
  std::int32_t version = 0;
  std::uint32_t curtime = 0;
  std::uint32_t bits = 0;  // bits_text read as hexadecimal
  std::int64_t height = 0;
  std::int64_t coinbase_value = 0;  // in the smallest unit
  std::vector<TemplateTransaction> transactions;
  // The fetch and parse finished, the previous hash is 64 hex digits, the bits 8, the target
  // empty or 64, the height within 0 .. 2^31 - 1, the coinbase value not negative, and every
  // transaction's data even-length hex with a txid of 64 digits (sent, or computed from data
  // that reads as one whole transaction): the block body and its merkle leaves always agree.
  bool valid = false;
  // Why the node gave no usable reply, when that is why valid is false; kind none otherwise.
  NodeFailure failure;
};

// Asks the node for a segwit template. Never throws: any failure gives valid false, and a failure
// of the node or the connection also fills in failure. A stop request abandons the request.
BlockTemplate get_block_template(RpcClient& client);

// Fills the fields from the reply's result member (the text from it on) and decides valid by the
// checks above. Never throws.
void fill_from_result(BlockTemplate& block_template, std::string_view result);

// The BIP 22 longpoll: the same request naming the longpollid of the template in hand; the node
// answers once its tip or transaction set has changed (or on a time-out of its own). An id that
// would need escaping in JSON is not sent (valid false at once). Never throws.
BlockTemplate get_block_template_longpoll(RpcClient& client, std::string_view longpoll_id);

// The entries of the object's own "transactions" array, in order; objects without "data" are
// dropped. Braces and brackets are counted wherever they stand, so nested arrays and objects
// inside an entry are passed over.
std::vector<TemplateTransaction> parse_transactions(std::string_view text);
