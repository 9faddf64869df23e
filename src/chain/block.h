#pragma once
// The found block as hex text for submitblock.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "chain/bytes.h"

// Header (nonce in place), transaction count as a compact size (coinbase included), the
// coinbase bytes, then each template transaction's data text exactly as the node sent it.
std::string block_hex(std::span<const std::uint8_t, 80> header, const ByteVector& coinbase_transaction,
                      const std::vector<std::string>& transaction_data);
