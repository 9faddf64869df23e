#include "fuzz_input.h"

namespace fuzz {

std::vector<std::string_view> split_at_nul(std::string_view text) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t nul = text.find('\0');
    parts.push_back(text.substr(0, nul));
    if (nul == std::string_view::npos) return parts;
    text.remove_prefix(nul + 1);
  }
}

std::uint64_t leading_u64(std::string_view text) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8 && i < text.size(); ++i) {
    value |= std::uint64_t{static_cast<std::uint8_t>(text[i])} << (8 * i);
  }
  return value;
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool is_hex_text(std::string_view text) {
  for (const char c : text) {
    if (!is_hex_digit(c)) return false;
  }
  return true;
}

std::string lower_case(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace fuzz
