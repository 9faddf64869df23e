#include "chain/block.h"

#include "chain/hex.h"
#include "chain/serialize.h"

std::string block_hex(std::span<const std::uint8_t, 80> header, const ByteVector& coinbase_transaction,
                      const std::vector<std::string>& transaction_data) {
  ByteVector count;
  append_compact_size(count, 1 + transaction_data.size());

  std::size_t length = 2 * (header.size() + count.size() + coinbase_transaction.size());
  for (const std::string& data : transaction_data) length += data.size();
  std::string text;
  text.reserve(length);
  text += hex_encode(header.data(), header.size());
  text += hex_encode(count.data(), count.size());
  text += hex_encode(coinbase_transaction.data(), coinbase_transaction.size());
  for (const std::string& data : transaction_data) text += data;
  return text;
}
