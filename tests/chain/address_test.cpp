#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "chain/address.h"
#include "chain/address_problem.h"
#include "chain/coinbase.h"
#include "support/address_encoding.h"
#include "chain/sha256.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace {

using test_support::base58check_encode;
using test_support::bech32;
using test_support::bech32_encode;
using test_support::bech32m;
using test_support::from_hex;
using test_support::segwit_address;
using test_support::to_five_bit;
using test_support::to_hex;

ByteVector pattern(std::size_t length, std::uint8_t seed) {
  ByteVector bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + 13 * i);
  return bytes;
}

ByteVector with_version(std::uint8_t version, const ByteVector& body) {
  ByteVector payload{version};
  payload.insert(payload.end(), body.begin(), body.end());
  return payload;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// --- The dispatcher ---

TEST(AddressToScript, AcceptedAndRefusedForms) {
  const ByteVector p20 = pattern(20, 1);
  const ByteVector p32 = pattern(32, 2);
  const std::string h20 = to_hex(p20);
  const std::string h32 = to_hex(p32);
  const std::string p2wpkh = segwit_address("vtr", 0, p20, bech32);
  const std::string p2pkh = base58check_encode(with_version(0x1c, p20));

  // A 32-byte program takes 52 characters with 4 padding bits; set them to 1010.
  std::vector<std::uint8_t> padded{0};
  const auto groups = to_five_bit(p32);
  padded.insert(padded.end(), groups.begin(), groups.end());
  padded.back() |= 0x0a;

  struct Case {
    std::string name;
    std::string address;
    std::string script;  // hex; empty when refused
  };
  std::vector<Case> cases = {
      {"v0 20-byte program", p2wpkh, "0014" + h20},
      {"v0 32-byte program", segwit_address("vtr", 0, p32, bech32), "0020" + h32},
      {"v1 32-byte program, bech32m", segwit_address("vtr", 1, p32, bech32m), "5120" + h32},
      {"v1 32-byte program, bech32 checksum", segwit_address("vtr", 1, p32, bech32), "5120" + h32},
      {"v0 with bech32m checksum", segwit_address("vtr", 0, p20, bech32m), "0014" + h20},
      {"test network prefix", segwit_address("tvtr", 0, p20, bech32), "0014" + h20},
      {"non-zero padding bits ignored", bech32_encode("vtr", padded, bech32), "0020" + h32},
      {"v1 20-byte program", segwit_address("vtr", 1, p20, bech32m), ""},
      {"v0 31-byte program", segwit_address("vtr", 0, pattern(31, 3), bech32), ""},
      {"v0 empty program", segwit_address("vtr", 0, {}, bech32), ""},
      {"upper case", upper(p2wpkh), ""},
      {"another coin's prefix", segwit_address("bc", 0, p20, bech32), ""},
      {"segwit checksum broken", p2wpkh.substr(0, p2wpkh.size() - 1) + (p2wpkh.back() == 'q' ? "p" : "q"), ""},
      {"trailing blank not trimmed", p2wpkh + " ", ""},
      {"base58 0x1C", p2pkh, "76a914" + h20 + "88ac"},
      {"base58 0x12", base58check_encode(with_version(0x12, p20)), "a914" + h20 + "87"},
      // A longer payload would pay to a truncated hash nobody can spend.
      {"base58 26 bytes", base58check_encode(with_version(0x1c, pattern(21, 1))), ""},
      {"base58 version 0x1C and 32 bytes", base58check_encode(with_version(0x1c, p32)), ""},
      {"base58 version 0x12 and 21 bytes", base58check_encode(with_version(0x12, pattern(21, 1))), ""},
      {"base58 24 bytes too short", base58check_encode(with_version(0x1c, pattern(19, 1))), ""},
      {"base58 version 0x00", base58check_encode(with_version(0x00, p20)), ""},
      {"base58 version 0x05", base58check_encode(with_version(0x05, p20)), ""},
      {"base58 checksum broken", p2pkh.substr(0, p2pkh.size() - 1) + (p2pkh.back() == 'z' ? "y" : "z"), ""},
      {"prefix only", "vtr1", ""},
      {"short text", "1", ""},
      {"empty text", "", ""},
  };
  for (const char bad : std::string("0OIl")) {
    std::string address = p2pkh;
    address[5] = bad;
    cases.push_back({std::string("base58 with '") + bad + "'", address, ""});
  }
  for (std::uint8_t version = 2; version <= 16; ++version) {
    cases.push_back({"v" + std::to_string(version), segwit_address("vtr", version, p32, bech32m), ""});
  }

  for (const Case& c : cases) {
    EXPECT_EQ(to_hex(address_to_script(c.address)), c.script) << c.name << ": " << c.address;
  }
}

// The reason given for an address that does not decode, for the typos a user makes; and the
// script is exactly address_to_script's, so the start-up check never disagrees with mining.
TEST(AddressExplained, NamesWhyAnAddressDoesNotDecode) {
  const ByteVector p20 = pattern(20, 1);
  const std::string p2wpkh = segwit_address("tvtr", 0, p20, bech32);
  const std::string p2pkh = base58check_encode(with_version(0x1c, p20));
  const auto swap_last = [](const std::string& text, char a, char b) {
    return text.substr(0, text.size() - 1) + (text.back() == a ? b : a);
  };
  std::string mixed = p2wpkh;
  mixed[7] = static_cast<char>(std::toupper(static_cast<unsigned char>(mixed[7])));
  std::string bech32_bad_character = p2wpkh;
  bech32_bad_character[8] = 'b';  // 'b' is not in the bech32 character set

  struct Case {
    std::string name;
    std::string address;
    AddressProblem problem;
  };
  const Case cases[] = {
      {"segwit", p2wpkh, AddressProblem::none},
      {"base58", p2pkh, AddressProblem::none},
      {"empty", "", AddressProblem::empty},
      {"segwit checksum", swap_last(p2wpkh, 'q', 'p'), AddressProblem::checksum},
      {"segwit character dropped", p2wpkh.substr(0, 20) + p2wpkh.substr(21), AddressProblem::checksum},
      {"base58 checksum", swap_last(p2pkh, 'z', 'y'), AddressProblem::checksum},
      {"mixed case", mixed, AddressProblem::mixed_case},
      {"upper case", upper(p2wpkh), AddressProblem::mixed_case},
      {"bech32 character", bech32_bad_character, AddressProblem::character},
      {"base58 character", p2pkh.substr(0, 5) + "0" + p2pkh.substr(6), AddressProblem::character},
      {"trailing blank", p2pkh + " ", AddressProblem::character},
      {"another coin's bech32 prefix", segwit_address("bc", 0, p20, bech32), AddressProblem::prefix},
      {"another coin's base58 version", base58check_encode(with_version(0x00, p20)), AddressProblem::prefix},
      {"segwit program length", segwit_address("vtr", 0, pattern(31, 3), bech32), AddressProblem::length},
      {"segwit version 1 short program", segwit_address("vtr", 1, p20, bech32m), AddressProblem::length},
      {"base58 too short", base58check_encode(with_version(0x1c, pattern(19, 1))), AddressProblem::length},
      {"base58 a few characters", "1", AddressProblem::length},
  };
  for (const Case& c : cases) {
    const AddressDecoding decoding = decode_address_explained(c.address);
    EXPECT_EQ(to_hex(decoding.script), to_hex(address_to_script(c.address))) << c.name;
    EXPECT_EQ(decoding.problem, c.problem) << c.name << ": " << decoding.explanation;
    EXPECT_EQ(decoding.explanation.empty(), c.problem == AddressProblem::none) << c.name;
  }
}

TEST(AddressToScript, DevFeeAddressIsTheIntendedProgram) {
  const ByteVector program = from_hex("fb1259cbcdedfdccc5d1d56bd178221d6f5d07a7");
  EXPECT_EQ(dev_fee_address.size(), 43u);
  EXPECT_EQ(segwit_address("vtr", 0, program, bech32), dev_fee_address);
  EXPECT_EQ(to_hex(address_to_script(dev_fee_address)), "0014" + to_hex(program));
}

// --- The decoders on published vectors ---

std::optional<test_support::JsonValue> load_fixture(const char* name) {
  const auto fixtures = test_support::fixtures_dir();
  if (!fixtures) return std::nullopt;
  return test_support::parse_json(test_support::read_file(*fixtures / name));
}

// Valid BIP 173 vectors: the decoder gives the version and the program of the script, except
// for upper-case texts, which it refuses (their lower-case form decodes).
TEST(SegwitAddressDecode, Bip173ValidVectors) {
  const auto vectors = load_fixture("bech32_encode_decode.json");
  VELTRANE_REQUIRE_FIXTURES(vectors);
  for (const auto& vector : vectors->items) {
    const ByteVector script = from_hex(vector.items.at(0).text);
    const std::string& address = vector.items.at(1).text;
    ASSERT_GE(script.size(), 2u);
    const std::uint8_t version = script[0] == 0 ? 0 : static_cast<std::uint8_t>(script[0] - 0x50);
    const ByteVector expected = with_version(version, ByteVector(script.begin() + 2, script.end()));
    const bool has_upper = std::any_of(address.begin(), address.end(), [](char c) { return std::isupper(c); });
    EXPECT_EQ(to_hex(segwit_address_decode(address)), has_upper ? "" : to_hex(expected)) << address;
    std::string lower = address;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_EQ(to_hex(segwit_address_decode(lower)), to_hex(expected)) << lower;
  }
}

// Invalid BIP 173 vectors under this decoder's rules: it does not check the network part,
// the version range, the program length or the padding, so several of them decode.
TEST(SegwitAddressDecode, Bip173InvalidVectors) {
  const auto vectors = load_fixture("bech32_invalid.json");
  VELTRANE_REQUIRE_FIXTURES(vectors);
  const std::string p20 = "751e76e8199196d454941c45d1b3a323f1433bd6";
  const std::map<std::string, std::string> expected = {
      {"tc1qw508d6qejxtdg4y5r3zarvary0c5xw7kg3g4ty", "00" + p20},  // other network part
      {"bc1qw508d6qejxtdg4y5r3zarvary0c5xw7kv8f3t5", ""},          // checksum
      {"BC13W508D6QEJXTDG4Y5R3ZARVARY0C5XW7KN40WF2", ""},          // upper case
      {"bc1rw5uspcuh", "0375"},                                    // 1-byte program
      {"bc10w508d6qejxtdg4y5r3zarvary0c5xw7kw508d6qejxtdg4y5r3zarvary0c5xw7kw5rljs90",
       "0f" + p20 + p20 + "75"},                                   // 41-byte program, version 15
      {"BC1QR508D6QEJXTDG4Y5R3ZARVARYV98GJ9P", ""},                // upper case
      {"tb1qrp33g0q5c5txsp9arysrx4k6zdkfs4nce4xj0gdcccefvpysxf3q0sL5k7", ""},  // 'L' outside the charset
      {"bc1zw508d6qejxtdg4y5r3zarvaryvqyzf3du", "02751e76e8199196d454941c45d1b3a323"},  // long padding
      {"tb1qrp33g0q5c5txsp9arysrx4k6zdkfs4nce4xj0gdcccefvpysxf3pjxtptv",
       "001863143c14c5166804bd19203356da136c985678cd4d27a1b8c6329604903262"},  // non-zero padding
      {"bc1gmk9yu", ""},                                           // nothing before the checksum
  };
  for (const auto& vector : vectors->items) {
    const std::string& address = vector.items.at(0).text;
    const auto found = expected.find(address);
    ASSERT_NE(found, expected.end()) << "vector without an expected outcome: " << address;
    EXPECT_EQ(to_hex(segwit_address_decode(address)), found->second) << address << " (" << vector.items.at(1).text << ")";
  }
}

TEST(SegwitAddressDecode, MalformedTexts) {
  const std::string valid = segwit_address("vtr", 0, pattern(20, 1), bech32);
  const std::string cases[] = {
      "",
      "qpzry9x8",                       // no separator
      "1qpzry9x8gf2tvdw",               // separator first
      "vtr1qqqqq",                      // data part shorter than a checksum
      valid.substr(0, 4) + "b" + valid.substr(5),  // 'b' is outside the charset
  };
  for (const std::string& text : cases) EXPECT_TRUE(segwit_address_decode(text).empty()) << text;
}

TEST(Base58Decode, PublishedVectors) {
  const auto vectors = load_fixture("base58_encode_decode.json");
  VELTRANE_REQUIRE_FIXTURES(vectors);
  for (const auto& vector : vectors->items) {
    EXPECT_EQ(to_hex(base58_decode(vector.items.at(1).text)), vector.items.at(0).text) << vector.items.at(1).text;
  }
}

TEST(Base58Decode, LeadingOnesAndForeignCharacters) {
  EXPECT_EQ(to_hex(base58_decode("1")), "00");
  EXPECT_EQ(to_hex(base58_decode("11z")), "000039");
  EXPECT_TRUE(base58_decode("2g0").empty());
  EXPECT_TRUE(base58_decode(" 2g").empty()) << "blanks are not skipped";
}

}  // namespace
