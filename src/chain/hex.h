#pragma once
// Hex text <-> bytes, and the node's byte-reversed text form of hashes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "chain/bytes.h"

// Lower-case hex, two digits per byte, most significant digit first.
std::string hex_encode(const std::uint8_t* bytes, std::size_t length);

// Decodes pairs of characters from the start; never fails. Each pair is read the way strtol
// reads it in base 16 (leading blank or sign accepted, stops at the first non-digit, no digit
// gives 0) and its low 8 bits kept; a final odd character is ignored. Both cases are accepted.
ByteVector hex_decode(std::string_view text);

// The node's display-order text of a hash (txid, block hash) as bytes in internal order:
// hex_decode, then reversed.
ByteVector hash_from_text(std::string_view text);
