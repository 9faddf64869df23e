#pragma once
// Merkle root of a block's transaction ids.

#include <vector>

#include "chain/bytes.h"

// Root over 32-byte leaves in internal order (the coinbase id first, then the template's ids
// already reversed by hash_from_text). Each parent is double SHA-256 of left then right; an odd
// last node is paired with itself. No leaves give 32 zero bytes, one leaf gives itself. The
// root is in internal order, ready for the header.
ByteVector merkle_root(const std::vector<ByteVector>& leaves);
