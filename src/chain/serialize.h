#pragma once
// Little-endian integers of the Bitcoin serialisation, appended to a byte buffer.

#include <cstdint>

#include "chain/bytes.h"

// The variable-length count: one byte below 253, else FD/FE/FF and 2, 4 or 8 bytes little-endian.
void append_compact_size(ByteVector& out, std::uint64_t value);

// Eight bytes, least significant first (a signed amount is passed as its two's-complement bits).
void append_u64_le(ByteVector& out, std::uint64_t value);
