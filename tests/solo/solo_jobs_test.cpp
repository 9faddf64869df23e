// Jobs of one template: the first is the plain coinbase's, every other one differs in its merkle root.

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "chain/address.h"
#include "chain/coinbase.h"
#include "chain/hex.h"
#include "chain/merkle.h"
#include "solo/solo_jobs.h"

namespace {

BlockTemplate sample_template() {
  BlockTemplate tmpl;
  tmpl.previous_block_hash = "00000000000000000002a7c4c1e48d76c5a37902165a270156b7a8d72728a054";
  tmpl.bits_text = "1d00ffff";
  tmpl.bits = 0x1d00ffff;
  tmpl.version = 0x20000000;
  tmpl.curtime = 1700000000;
  tmpl.height = 840000;
  tmpl.coinbase_value = 312500000;
  tmpl.witness_commitment = "6a24aa21a9ed" + std::string(64, '1');
  tmpl.transactions = {{"0100", std::string(64, 'a')}, {"0200", std::string(64, 'b')}};
  tmpl.valid = true;
  return tmpl;
}

SoloWork sample_work(const std::string& text = "rig one") {
  const std::optional<SoloWork> work = prepare_solo_work(sample_template(), 7, address_to_script(dev_fee_address),
                                                         address_to_script(dev_fee_address), text);
  EXPECT_TRUE(work.has_value());
  return *work;
}

Hash256 merkle_root_of(const BlockHeader& header) {
  Hash256 root{};
  std::copy(header.begin() + 36, header.begin() + 68, root.begin());
  return root;
}

TEST(SoloJobs, JobWithoutExtraNonceHasThePlainCoinbaseAndTemplateHeader) {
  const SoloWork work = sample_work();
  const SoloJob job = build_solo_job(work, std::nullopt);
  const ByteVector plain = build_coinbase(840000, 312500000, work.payout_script, "rig one", work.commitment,
                                          work.fee_script, dev_fee_percent);
  EXPECT_EQ(job.coinbase, plain);
  const ByteVector root = merkle_root({transaction_id(plain), hash_from_text(std::string(64, 'a')),
                                       hash_from_text(std::string(64, 'b'))});
  EXPECT_EQ(hex_encode(merkle_root_of(job.header).data(), 32), hex_encode(root.data(), root.size()));
  EXPECT_EQ(job.header[0], 0x00);
  EXPECT_EQ(job.header[3], 0x20);  // version, little-endian
  EXPECT_EQ(job.generation, 7u);
  ASSERT_TRUE(job.transaction_data);
  EXPECT_EQ(*job.transaction_data, (std::vector<std::string>{"0100", "0200"}));
}

TEST(SoloJobs, EveryExtraNonceGivesAnotherMerkleRoot) {
  const SoloWork work = sample_work();
  std::set<Hash256> roots{merkle_root_of(build_solo_job(work, std::nullopt).header)};
  for (std::uint32_t extra_nonce = 0; extra_nonce < 64; ++extra_nonce) {
    EXPECT_TRUE(roots.insert(merkle_root_of(build_solo_job(work, extra_nonce).header)).second) << extra_nonce;
  }
}

TEST(SoloJobs, TemplateWithAShortHashIsRefused) {
  BlockTemplate short_previous = sample_template();
  short_previous.previous_block_hash.resize(62);
  BlockTemplate short_txid = sample_template();
  short_txid.transactions[1].txid.resize(60);
  for (const BlockTemplate& tmpl : {short_previous, short_txid}) {
    EXPECT_FALSE(prepare_solo_work(tmpl, 1, {0x51}, {}, "").has_value());
  }
}

// Device 0's first job on a previous block has none, device d's first has d, later jobs count
// on from the device count; a new previous block starts over.
TEST(ExtraNonces, FirstJobsByDeviceThenOneCounter) {
  const Hash256 first_tip{1};
  const Hash256 second_tip{2};
  struct Step {
    std::size_t device;
    const Hash256* tip;
    std::optional<std::uint32_t> expected;
  };
  const Step steps[] = {
      {1, &first_tip, 1u},  {0, &first_tip, std::nullopt}, {0, &first_tip, 3u}, {2, &first_tip, 2u},
      {1, &first_tip, 4u},  {2, &first_tip, 5u},           {1, &second_tip, 1u}, {1, &second_tip, 3u},
      {0, &second_tip, std::nullopt},
  };
  ExtraNonceCounter counter;
  for (std::size_t index = 0; index < std::size(steps); ++index) {
    const Step& step = steps[index];
    EXPECT_EQ(next_extra_nonce(counter, step.device, 3, *step.tip), step.expected) << "step " << index;
  }
}

}  // namespace
