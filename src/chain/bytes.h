#pragma once
// Byte containers shared by block assembly and the node client.

#include <cstdint>
#include <vector>

// Owned, growable bytes: scripts, serialised transactions, decoded hex. An empty one stands
// for "no result" where a routine cannot fail otherwise.
using ByteVector = std::vector<std::uint8_t>;
