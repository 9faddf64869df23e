#include "solo/solo_jobs.h"

#include <algorithm>
#include <utility>

#include "chain/coinbase.h"
#include "chain/hex.h"
#include "chain/merkle.h"

namespace {

std::optional<Hash256> to_hash256(const ByteVector& bytes) {
  if (bytes.size() != Hash256{}.size()) return std::nullopt;
  Hash256 hash{};
  std::copy(bytes.begin(), bytes.end(), hash.begin());
  return hash;
}

}  // namespace

std::optional<SoloWork> prepare_solo_work(const BlockTemplate& tmpl, std::uint64_t generation, ByteVector payout_script,
                                          ByteVector fee_script, std::string coinbase_text) {
  SoloWork work;
  work.generation = generation;
  work.height = static_cast<std::uint64_t>(tmpl.height);
  work.coinbase_value = tmpl.coinbase_value;
  work.version = tmpl.version;
  work.time = tmpl.curtime;
  work.bits = tmpl.bits;
  const auto previous = to_hash256(hash_from_text(tmpl.previous_block_hash));
  if (!previous) return std::nullopt;
  work.previous_block = *previous;
  // The node's full target, when sent, wins over the compact bits.
  work.target = tmpl.target_text.empty() ? target_from_bits(tmpl.bits) : target_from_hex(tmpl.target_text);
  work.payout_script = std::move(payout_script);
  work.fee_script = std::move(fee_script);
  if (!tmpl.witness_commitment.empty()) work.commitment = hex_decode(tmpl.witness_commitment);
  work.coinbase_text = std::move(coinbase_text);
  auto data = std::make_shared<std::vector<std::string>>();
  for (const TemplateTransaction& transaction : tmpl.transactions) {
    if (!transaction.txid.empty()) {
      work.transaction_ids.push_back(hash_from_text(transaction.txid));
      if (work.transaction_ids.back().size() != Hash256{}.size()) return std::nullopt;
    }
    if (!transaction.data.empty()) data->push_back(transaction.data);
  }
  work.transaction_data = std::move(data);
  return work;
}

SoloJob build_solo_job(const SoloWork& work, std::optional<std::uint32_t> extra_nonce) {
  SoloJob job;
  job.generation = work.generation;
  job.coinbase = build_coinbase(work.height, work.coinbase_value, work.payout_script, work.coinbase_text,
                                work.commitment, work.fee_script, dev_fee_percent, extra_nonce);
  std::vector<ByteVector> leaves{transaction_id(job.coinbase)};
  leaves.insert(leaves.end(), work.transaction_ids.begin(), work.transaction_ids.end());
  Hash256 root{};
  const ByteVector root_bytes = merkle_root(leaves);
  std::copy(root_bytes.begin(), root_bytes.end(), root.begin());
  job.header = build_header(work.version, work.previous_block, root, work.time, work.bits);
  job.transaction_data = work.transaction_data;
  job.target = work.target;
  return job;
}

std::optional<std::uint32_t> next_extra_nonce(ExtraNonceCounter& counter, std::size_t device,
                                              std::size_t device_count, const Hash256& previous_block) {
  if (counter.previous_block != previous_block || counter.device_started.size() != device_count) {
    counter.previous_block = previous_block;
    counter.next = static_cast<std::uint32_t>(device_count);
    counter.device_started.assign(device_count, false);
  }
  if (device < device_count && !counter.device_started[device]) {
    counter.device_started[device] = true;
    if (device == 0) return std::nullopt;
    return static_cast<std::uint32_t>(device);
  }
  return counter.next++;
}
