#pragma once
// The coinbase transaction: reward to the payout script less the developer fee, optional
// witness commitment, and its transaction id.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "chain/bytes.h"

// Main-network bech32 address that receives the developer fee (witness v0, 20-byte program).
inline constexpr std::string_view dev_fee_address = "vtr1qlvf9nj7dah7ue3w3644az7pzr4h46pa8xkkrst";
inline constexpr std::int32_t dev_fee_percent = 1;

// Consensus limit on the size of a coinbase input script.
inline constexpr std::size_t max_coinbase_script_size = 100;

// Bytes an extra nonce takes in the input script: a push of its 4 little-endian bytes.
inline constexpr std::size_t extra_nonce_push_size = 5;

// Serialised version-2 coinbase. The input script holds the height push, the coinbase text and,
// when given, the extra nonce push after the text; the text is cut to keep the script within
// max_coinbase_script_size. Without an extra nonce the bytes are those of a plain coinbase. Outputs: payout (value less
// the fee), fee (when fee_script is non-empty and fee_percent >= 1, even if the fee rounds to
// 0), commitment (when witness_commitment is non-empty). With a commitment the transaction is
// in the segwit serialisation with the 32-byte all-zero witness reserved value.
ByteVector build_coinbase(std::uint64_t height, std::int64_t coinbase_value, const ByteVector& payout_script,
                          std::string_view coinbase_text, const ByteVector& witness_commitment,
                          const ByteVector& fee_script, std::int32_t fee_percent,
                          std::optional<std::uint32_t> extra_nonce = std::nullopt);

// How many leading bytes of a coinbase text of text_length bytes build_coinbase keeps at this
// height (with or without an extra nonce); less than text_length means the text is cut.
std::size_t coinbase_text_kept_length(std::uint64_t height, std::size_t text_length, bool with_extra_nonce = false);

// 32-byte id in internal order: double SHA-256 of the legacy serialisation (marker, flag and
// witness data left out of a segwit transaction). Bytes that are not one whole transaction are
// hashed as they are.
ByteVector transaction_id(const ByteVector& transaction);

// The same id, but nothing when the bytes are not exactly one whole transaction in the legacy or
// the segwit serialisation (a count or length running past the end, or bytes left over).
std::optional<ByteVector> read_transaction_id(const ByteVector& transaction);
