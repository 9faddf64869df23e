#include "stratum/tls_fingerprint.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(TlsFingerprint, PinsAreReadInEitherCaseWithOrWithoutColons) {
  const std::string hex = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const struct {
    std::string text;
    std::optional<std::string> expected;
  } cases[] = {
      {hex, hex},
      {"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", hex},
      {"BA:78:16:BF:8F:01:CF:EA:41:41:40:DE:5D:AE:22:23:B0:03:61:A3:96:17:7A:9C:B4:10:FF:61:F2:00:15:AD", hex},
      {hex.substr(2), std::nullopt},       // 31 bytes
      {hex + "00", std::nullopt},          // 33 bytes
      {"sha256:" + hex, std::nullopt},     // not hex
      {hex.substr(0, 63) + "g", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(normalized_fingerprint(c.text), c.expected);
  }
  // The fingerprint is the plain SHA-256 of the DER bytes: here of "abc" (FIPS 180-2's example).
  const std::uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(certificate_fingerprint(abc, sizeof abc), hex);
}

}  // namespace
