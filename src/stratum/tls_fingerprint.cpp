#include "stratum/tls_fingerprint.h"

#include <array>

#include "chain/hex.h"
#include "chain/sha256.h"

std::optional<std::string> normalized_fingerprint(std::string_view text) {
  constexpr std::size_t digest_bytes = 32;
  std::string hex;
  for (const char character : text) {
    if (character == ':') continue;  // between the bytes, as OpenSSL prints fingerprints
    if (character >= 'A' && character <= 'F') {
      hex += static_cast<char>(character - 'A' + 'a');
    } else if ((character >= '0' && character <= '9') || (character >= 'a' && character <= 'f')) {
      hex += character;
    } else {
      return std::nullopt;
    }
  }
  if (hex.size() != 2 * digest_bytes) return std::nullopt;
  return hex;
}

std::string certificate_fingerprint(const std::uint8_t* der, std::size_t length) {
  std::array<std::uint8_t, 32> digest{};
  sha256(der, length, digest.data());
  return hex_encode(digest.data(), digest.size());
}
