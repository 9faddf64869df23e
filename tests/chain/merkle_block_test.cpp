#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "chain/block.h"
#include "chain/coinbase.h"
#include "chain/merkle.h"
#include "support/fixtures.h"
#include "support/test_support.h"
#include "transaction_reader.h"

namespace {

using test_support::from_hex;
using test_support::to_hex;

ByteVector leaf(std::uint8_t seed) {
  ByteVector hash(32);
  for (std::size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<std::uint8_t>(seed + 7 * i);
  return hash;
}

ByteVector parent(const ByteVector& left, const ByteVector& right) {
  ByteVector pair = left;
  pair.insert(pair.end(), right.begin(), right.end());
  return test_chain::double_sha256_of(pair);
}

TEST(MerkleRoot, SmallTrees) {
  const ByteVector a = leaf(1);
  const ByteVector b = leaf(2);
  const ByteVector c = leaf(3);
  EXPECT_EQ(merkle_root({}), ByteVector(32, 0)) << "no leaves";
  EXPECT_EQ(merkle_root({a}), a) << "a lone coinbase id is the root";
  EXPECT_EQ(merkle_root({a, b}), parent(a, b));
  EXPECT_EQ(merkle_root({a, b, c}), parent(parent(a, b), parent(c, c))) << "odd last node pairs with itself";
  EXPECT_NE(merkle_root({a, b}), merkle_root({b, a})) << "order matters";
}

std::array<std::uint8_t, 80> sample_header() {
  std::array<std::uint8_t, 80> header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(i);
  return header;
}

TEST(BlockHex, HeaderCountCoinbaseThenTextsUnchanged) {
  const auto header = sample_header();
  const ByteVector coinbase = from_hex("02000000aabb");
  const std::vector<std::string> texts = {"0100", "ABcd"};
  EXPECT_EQ(block_hex(header, coinbase, texts), to_hex(header) + "03" + "02000000aabb" + "0100" + "ABcd");
}

TEST(BlockHex, TransactionCountUsesTheFullCompactSize) {
  struct Case {
    std::size_t template_transactions;
    const char* count;
  };
  const Case cases[] = {
      {0, "01"},
      {251, "fc"},
      {252, "fdfd00"},
      {65534, "fdffff"},
      {65535, "fe00000100"},  // 65,536 transactions no longer fit in the three-byte form
  };
  const auto header = sample_header();
  const ByteVector coinbase = from_hex("c0ffee");
  for (const Case& c : cases) {
    const std::vector<std::string> texts(c.template_transactions, "ab");
    const std::string block = block_hex(header, coinbase, texts);
    const std::string count = c.count;
    EXPECT_EQ(block.substr(160, count.size()), count) << c.template_transactions;
    EXPECT_EQ(block.size(), 160 + count.size() + 6 + 2 * c.template_transactions) << c.template_transactions;
    EXPECT_EQ(block.substr(160 + count.size(), 6), "c0ffee") << c.template_transactions;
  }
}

// Real main-network blocks: every transaction id and the merkle root recomputed from the
// transactions must equal the merkle root in the header, and block_hex must rebuild the block.
TEST(RealBlocks, MerkleRootOfTransactionIdsMatchesTheHeader) {
  const auto fixtures = test_support::fixtures_dir();
  VELTRANE_REQUIRE_FIXTURES(fixtures);
  const auto entries = test_support::parse_json(test_support::read_file(*fixtures / "checkblock_valid.json"));
  int blocks_checked = 0;
  for (const auto& entry : entries.items) {
    if (entry.items.size() < 5) continue;  // a comment line
    const std::string& name = entry.items[0].text;
    if (entry.items[1].boolean) continue;  // header only
    const ByteVector block = from_hex(entry.items[4].text);
    test_chain::Reader reader{block};
    const test_chain::Bytes header = reader.take(80);
    std::vector<test_chain::Transaction> transactions(static_cast<std::size_t>(reader.compact_size()));
    for (auto& transaction : transactions) transaction = test_chain::read_transaction(reader);
    ASSERT_TRUE(reader.at_end()) << name;

    std::vector<ByteVector> leaves;
    std::vector<std::string> texts;
    for (const auto& transaction : transactions) {
      leaves.push_back(transaction_id(transaction.raw));
      if (&transaction != &transactions.front()) texts.push_back(to_hex(transaction.raw));
    }
    const ByteVector header_root(header.begin() + 36, header.begin() + 68);
    EXPECT_EQ(to_hex(merkle_root(leaves)), to_hex(header_root)) << name;
    EXPECT_EQ(block_hex(std::span<const std::uint8_t, 80>(header.data(), 80), transactions.front().raw, texts),
              entry.items[4].text)
        << name;
    ++blocks_checked;
  }
  EXPECT_GE(blocks_checked, 1) << "no full block in the fixture";
}

}  // namespace
