#pragma once
// Fuzz target for the Stratum message reader and the session behind it: arbitrary bytes as lines
// from a pool. A property that does not hold throws std::logic_error. The libFuzzer build and
// the replay of the kept inputs call the same function.

#include <cstddef>
#include <cstdint>

void fuzz_stratum_message(const std::uint8_t* data, std::size_t size);
