#include "chain/hex.h"

#include <algorithm>
#include <cstdlib>

std::string hex_encode(const std::uint8_t* bytes, std::size_t length) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (std::size_t i = 0; i < length; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0f];
  }
  return text;
}

ByteVector hex_decode(std::string_view text) {
  ByteVector bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t position = 0; position + 1 < text.size(); position += 2) {
    const char pair[3] = {text[position], text[position + 1], '\0'};
    bytes.push_back(static_cast<std::uint8_t>(std::strtol(pair, nullptr, 16) & 0xff));
  }
  return bytes;
}

ByteVector hash_from_text(std::string_view text) {
  ByteVector bytes = hex_decode(text);
  std::reverse(bytes.begin(), bytes.end());
  return bytes;
}
