#pragma once
// Helpers the fuzz targets share: the check that reports a broken property, and ways of
// reading the raw input as text, as parts or as numbers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_targets.h"

namespace fuzz {

// Throws FuzzCheckFailure naming the target and the property when it does not hold.
inline void check(bool holds, std::string_view target, std::string_view property) {
  if (!holds) throw FuzzCheckFailure(std::string(target) + ": " + std::string(property));
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The text split at every NUL byte (a NUL can never be part of an argument or a C string).
std::vector<std::string_view> split_at_nul(std::string_view text);

// The first eight bytes (fewer are padded with zeros) as a little-endian number.
std::uint64_t leading_u64(std::string_view text);

bool is_hex_digit(char c);
// Only hex digits, any case, any length.
bool is_hex_text(std::string_view text);
std::string lower_case(std::string_view text);

}  // namespace fuzz
