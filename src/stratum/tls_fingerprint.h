#pragma once
// Certificate fingerprints as users pin them: the SHA-256 of the certificate's DER bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The fingerprint as 64 lower-case hex digits. Takes upper or lower case, with or without a
// colon between the bytes (as "openssl x509 -fingerprint -sha256" prints it); nothing for
// anything else.
std::optional<std::string> normalized_fingerprint(std::string_view text);

// The SHA-256 of the certificate's DER bytes, as 64 lower-case hex digits.
std::string certificate_fingerprint(const std::uint8_t* der, std::size_t length);
