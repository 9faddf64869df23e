#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "chain/sha256.h"
#include "support/test_support.h"

namespace {

std::string sha256_hex(const std::string& message) {
  std::uint8_t digest[32];
  sha256(reinterpret_cast<const std::uint8_t*>(message.data()), message.size(), digest);
  return test_support::to_hex(digest, 32);
}

TEST(Sha256, Fips180Examples) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) EXPECT_EQ(sha256_hex(c.message), c.digest) << c.message.size() << " bytes";
}

// Every length across the padding boundaries (55, 56, 63, 64 and the second block) against OpenSSL.
TEST(Sha256, PaddingBoundariesAgreeWithOpenSsl) {
  std::vector<std::string> messages;
  std::vector<std::unique_ptr<test_support::TemporaryFile>> files;
  std::string command = "openssl dgst -sha256 -r";
  for (std::size_t length = 0; length <= 130; ++length) {
    std::string message;
    for (std::size_t i = 0; i < length; ++i) message += static_cast<char>((i * 37 + length) & 0xff);
    messages.push_back(message);
    files.push_back(std::make_unique<test_support::TemporaryFile>(message));
    command += " " + files.back()->path.string();
  }
  const auto result = test_support::run_command(command);
  ASSERT_EQ(result.exit_code, 0) << "openssl is needed for this test";
  std::istringstream lines(result.output);
  for (const std::string& message : messages) {
    std::string digest;
    std::string file_name;
    ASSERT_TRUE(lines >> digest >> file_name);
    EXPECT_EQ(sha256_hex(message), digest) << message.size() << " bytes";
  }
}

TEST(Sha256, DoubleHashAgreesWithOpenSsl) {
  std::uint8_t pair[64];
  for (std::uint8_t i = 0; i < 64; ++i) pair[i] = i;
  std::uint8_t digest[32];
  double_sha256(pair, sizeof pair, digest);
  const test_support::TemporaryFile file(std::string_view(reinterpret_cast<const char*>(pair), sizeof pair));
  const auto openssl = test_support::run_command("openssl dgst -sha256 -binary " + file.path.string() +
                                                 " | openssl dgst -sha256 -r");
  ASSERT_EQ(openssl.exit_code, 0);
  EXPECT_EQ(openssl.output.substr(0, 64), test_support::to_hex(digest, 32));
}

}  // namespace
