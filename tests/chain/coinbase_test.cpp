#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "chain/coinbase.h"
#include "support/test_support.h"
#include "transaction_reader.h"

namespace {

using test_support::from_hex;
using test_support::to_hex;

const ByteVector payout_script = from_hex("0014" + std::string(40, '1'));
const ByteVector fee_script = from_hex("0014fb1259cbcdedfdccc5d1d56bd178221d6f5d07a7");
// OP_RETURN, push 36, the commitment header aa21a9ed and a 32-byte hash.
const ByteVector commitment = from_hex("6a24aa21a9ed" + std::string(64, '2'));

TEST(BuildCoinbase, ExactBytesWithCommitment) {
  const ByteVector tx = build_coinbase(128, 5000000000, payout_script, "", commitment, fee_script, 1);
  const std::string expected = std::string("02000000") + "0001" + "01" +  // version, marker, flag, one input
                               std::string(64, '0') + "ffffffff" +          // spends nothing
                               "03" + "028000" + "ffffffff" +               // height 128, sequence
                               "03" +                                        // payout, fee, commitment
                               "80010b2701000000" + "16" + to_hex(payout_script) +  // 4,950,000,000
                               "80f0fa0200000000" + "16" + to_hex(fee_script) +     // 50,000,000
                               "0000000000000000" + "26" + to_hex(commitment) +
                               "01" + "20" + std::string(64, '0') +         // witness reserved value
                               "00000000";
  EXPECT_EQ(to_hex(tx), expected);
}

TEST(BuildCoinbase, LegacyFormWithoutCommitment) {
  const ByteVector tx = build_coinbase(128, 5000000000, payout_script, "", {}, fee_script, 1);
  const std::string text = to_hex(tx);
  EXPECT_EQ(text.substr(0, 10), "0200000001");
  EXPECT_EQ(text.substr(text.size() - 8), "00000000");
  EXPECT_EQ(transaction_id(tx), test_chain::double_sha256_of(tx));
  const test_chain::Transaction parsed = test_chain::read_transaction(tx);
  EXPECT_FALSE(parsed.segwit);
  EXPECT_EQ(parsed.outputs.size(), 2u);
}

TEST(BuildCoinbase, FeeAndOutputs) {
  struct Case {
    const char* name;
    std::int64_t value;
    bool with_fee_script;
    bool with_commitment;
    std::int32_t fee_percent;
    std::optional<std::int64_t> fee;  // nothing: no fee output
  };
  const Case cases[] = {
      {"full reward", 5000000000, true, true, 1, 50000000},
      {"fee truncated, not rounded", 199, true, false, 1, 1},
      {"fee of 0 still has its output", 99, true, true, 1, 0},
      {"fee of 0, legacy", 99, true, false, 1, 0},
      {"no fee script", 5000000000, false, false, 1, std::nullopt},
      {"no fee script, with commitment", 5000000000, false, true, 1, std::nullopt},
      {"fee percent 0", 5000000000, true, false, 0, std::nullopt},
      {"fee percent 3", 1000, true, true, 3, 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteVector tx = build_coinbase(500000, c.value, payout_script, "", c.with_commitment ? commitment : ByteVector{},
                                         c.with_fee_script ? fee_script : ByteVector{}, c.fee_percent);
    const test_chain::Transaction parsed = test_chain::read_transaction(tx);
    EXPECT_EQ(parsed.version, 2u);
    EXPECT_EQ(parsed.lock_time, 0u);
    ASSERT_EQ(parsed.inputs.size(), 1u);
    EXPECT_EQ(to_hex(parsed.inputs[0].previous_output), std::string(64, '0') + "ffffffff");
    EXPECT_EQ(parsed.inputs[0].sequence, 0xffffffffu);

    const std::size_t expected_outputs = 1u + (c.fee ? 1u : 0u) + (c.with_commitment ? 1u : 0u);
    ASSERT_EQ(parsed.outputs.size(), expected_outputs);
    EXPECT_EQ(parsed.outputs[0].value, c.value - c.fee.value_or(0));
    EXPECT_EQ(parsed.outputs[0].script, payout_script);
    if (c.fee) {
      EXPECT_EQ(parsed.outputs[1].value, *c.fee);
      EXPECT_EQ(parsed.outputs[1].script, fee_script);
    }
    EXPECT_EQ(parsed.segwit, c.with_commitment);
    if (c.with_commitment) {
      EXPECT_EQ(parsed.outputs.back().value, 0);
      EXPECT_EQ(parsed.outputs.back().script, commitment);
      ASSERT_EQ(parsed.witnesses.size(), 1u);
      EXPECT_EQ(parsed.witnesses[0], std::vector<test_chain::Bytes>{test_chain::Bytes(32, 0)});
    }
  }
}

TEST(BuildCoinbase, HeightPushes) {
  struct Case {
    std::uint64_t height;
    const char* script;
  };
  const Case cases[] = {
      {0, "0100"},
      {1, "0101"},  // not OP_1
      {127, "017f"},
      {128, "028000"},  // sign byte keeps it positive
      {255, "02ff00"},
      {256, "020001"},
      {500000, "0320a107"},
      {8388608, "0400008000"},
      {std::numeric_limits<std::uint64_t>::max(), "09ffffffffffffffff00"},
  };
  for (const Case& c : cases) {
    const ByteVector tx = build_coinbase(c.height, 100, payout_script, "", {}, {}, 1);
    EXPECT_EQ(to_hex(test_chain::read_transaction(tx).inputs.at(0).script), c.script) << c.height;
  }
}

std::string sample_text(std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

// The input script is the height push, a length byte for texts under 76 bytes, then the text,
// cut so that the script never exceeds the 100 bytes a coinbase input script may hold.
TEST(BuildCoinbase, CoinbaseTextAndTheHundredByteLimit) {
  constexpr auto highest = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::uint64_t height;
    std::size_t text_length;
    bool length_byte;
    std::size_t kept;
  };
  const Case cases[] = {
      {128, 0, false, 0},
      {128, 1, true, 1},
      {128, 75, true, 75},          // pushed with length byte 4b
      {128, 76, false, 76},         // bare bytes
      {0, 98, false, 98},           // 2 + 98 = 100 exactly
      {0, 200, false, 98},
      {500000, 96, false, 96},
      {500000, 97, false, 96},      // one byte too many
      {highest, 75, true, 75},      // 10 + 1 + 75 fits
      {highest, 76, false, 76},
      {highest, 100, false, 90},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("height " + std::to_string(c.height) + ", text of " + std::to_string(c.text_length));
    const std::string text = sample_text(c.text_length);
    EXPECT_EQ(coinbase_text_kept_length(c.height, c.text_length), c.kept);
    const ByteVector tx = build_coinbase(c.height, 100, payout_script, text, {}, {}, 1);
    const ByteVector plain = build_coinbase(c.height, 100, payout_script, "", {}, {}, 1);
    const ByteVector push = test_chain::read_transaction(plain).inputs.at(0).script;

    ByteVector expected = push;
    if (c.length_byte) expected.push_back(static_cast<std::uint8_t>(c.kept));
    expected.insert(expected.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(c.kept));
    const ByteVector script = test_chain::read_transaction(tx).inputs.at(0).script;
    EXPECT_EQ(to_hex(script), to_hex(expected));
    EXPECT_LE(script.size(), max_coinbase_script_size);
  }
}

// An extra nonce is a push of its 4 little-endian bytes after the text; the text gives up the
// room it takes, and the rest of the transaction stays as it is without one.
TEST(BuildCoinbase, ExtraNonceIsPushedAfterTheText) {
  struct Case {
    std::uint64_t height;
    std::size_t text_length;
    std::size_t kept;
  };
  const Case cases[] = {
      {128, 0, 0},
      {128, 75, 75},   // short text: its push fits beside both pushes
      {0, 200, 93},    // 2 + 93 + 5 = 100
      {500000, 96, 91},
      {std::numeric_limits<std::uint64_t>::max(), 100, 85},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("height " + std::to_string(c.height) + ", text of " + std::to_string(c.text_length));
    const std::string text = sample_text(c.text_length);
    EXPECT_EQ(coinbase_text_kept_length(c.height, c.text_length, true), c.kept);
    const ByteVector with_nonce = build_coinbase(c.height, 5000000000, payout_script, text, commitment, fee_script, 1,
                                                 0x04030201u);
    const ByteVector cut_text = build_coinbase(c.height, 5000000000, payout_script, text.substr(0, c.kept), commitment,
                                               fee_script, 1);
    test_chain::Transaction expected = test_chain::read_transaction(cut_text);
    const ByteVector nonce_push = from_hex("0401020304");
    expected.inputs.at(0).script.insert(expected.inputs.at(0).script.end(), nonce_push.begin(), nonce_push.end());
    EXPECT_EQ(to_hex(with_nonce), to_hex(test_chain::write_transaction(expected, true)));
    EXPECT_LE(test_chain::read_transaction(with_nonce).inputs.at(0).script.size(), max_coinbase_script_size);
  }
  const ByteVector first = build_coinbase(128, 100, payout_script, "rig", {}, {}, 1, 1u);
  const ByteVector second = build_coinbase(128, 100, payout_script, "rig", {}, {}, 1, 2u);
  EXPECT_NE(transaction_id(first), transaction_id(second));
}

TEST(TransactionId, WitnessTransactionHasTheIdOfItsLegacyForm) {
  const ByteVector coinbase = build_coinbase(840000, 312500000, payout_script, "solo", commitment, fee_script, 1);

  // Two inputs (one script long enough for a three-byte length), several witness items.
  test_chain::Transaction spend;
  spend.version = 1;
  spend.inputs = {{from_hex(std::string(64, 'a') + "01000000"), test_chain::Bytes(300, 0x51), 0xfffffffe},
                  {from_hex(std::string(64, 'b') + "00000000"), {}, 0xffffffff}};
  spend.outputs = {{1000, from_hex("51")}, {2000, test_chain::Bytes(253, 0x6a)}, {0, {}}};
  spend.witnesses = {{test_chain::Bytes(72, 0x30), test_chain::Bytes(33, 0x02)}, {}};
  spend.lock_time = 840000;
  const ByteVector spend_witness = test_chain::write_transaction(spend, true);

  for (const ByteVector& transaction : {coinbase, spend_witness}) {
    const ByteVector legacy = test_chain::write_transaction(test_chain::read_transaction(transaction), false);
    ASSERT_NE(legacy, transaction);
    EXPECT_EQ(to_hex(transaction_id(transaction)), to_hex(test_chain::double_sha256_of(legacy)));
    EXPECT_EQ(to_hex(transaction_id(legacy)), to_hex(test_chain::double_sha256_of(legacy)));
  }
}

// A template transaction without a txid gets its id from its data; data that is not one whole
// transaction must give no id rather than the hash of whatever bytes were sent.
TEST(TransactionId, ReadIdOnlyForOneWholeTransaction) {
  const ByteVector coinbase = build_coinbase(840000, 312500000, payout_script, "solo", commitment, fee_script, 1);
  const ByteVector legacy = build_coinbase(840000, 312500000, payout_script, "solo", {}, fee_script, 1);
  for (const ByteVector& whole : {coinbase, legacy}) {
    const std::optional<ByteVector> id = read_transaction_id(whole);
    ASSERT_TRUE(id.has_value()) << to_hex(whole);
    EXPECT_EQ(*id, transaction_id(whole));
  }

  struct Case {
    const char* name;
    ByteVector bytes;
  };
  ByteVector trailing = legacy;
  trailing.push_back(0x00);
  ByteVector witness_cut = coinbase;
  witness_cut.erase(witness_cut.end() - 20, witness_cut.end() - 4);  // part of the witness item, lock time kept
  ByteVector huge_input_count = from_hex("02000000ffffffffffffffffff");
  const Case cases[] = {
      {"empty", {}},
      {"version only", from_hex("02000000")},
      {"lock time missing", ByteVector(legacy.begin(), legacy.end() - 1)},
      {"a byte after the lock time", trailing},
      {"witness cut short", witness_cut},
      {"output script longer than the data", from_hex("020000000100000000000000000000000000000000000000000000000000000"
                                                      "000000000000000000000ffffffff0100000000000000000fff00000000")},
      {"input count beyond the data", huge_input_count},
      {"not a transaction at all", from_hex("0200000001bb")},
  };
  for (const Case& c : cases) EXPECT_FALSE(read_transaction_id(c.bytes).has_value()) << c.name;
}

TEST(TransactionId, TruncatedWitnessFormHashesTheBytesAsGiven) {
  for (const char* hex : {"02000000000101", "0200000000010100", "020000000001010000000000"}) {
    const ByteVector bytes = from_hex(hex);
    EXPECT_EQ(transaction_id(bytes), test_chain::double_sha256_of(bytes)) << hex;
  }
}

}  // namespace
