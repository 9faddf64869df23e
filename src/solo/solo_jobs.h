#pragma once
// Jobs of the node's block template: one coinbase per job, made unique by an extra nonce, so no
// two jobs on one tip share a merkle root, and what it takes to make a found nonce a block.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chain/bytes.h"
#include "pow/block_header.h"
#include "pow/target.h"
#include "rpc/block_template.h"

// One template made ready for job building; fixed once made.
struct SoloWork {
  std::uint64_t generation = 0;  // of the work: a new previous block bumps it
  std::uint64_t height = 0;
  std::int64_t coinbase_value = 0;
  std::int32_t version = 0;
  std::uint32_t time = 0;
  std::uint32_t bits = 0;
  Hash256 previous_block{};
  Target256 target;
  ByteVector payout_script;
  ByteVector fee_script;
  ByteVector commitment;
  std::string coinbase_text;
  std::vector<ByteVector> transaction_ids;                      // merkle leaves after the coinbase
  std::shared_ptr<const std::vector<std::string>> transaction_data;  // block body after the coinbase
};

// Nothing when a hash of the template does not have 32 bytes (the template check normally
// refuses those).
std::optional<SoloWork> prepare_solo_work(const BlockTemplate& tmpl, std::uint64_t generation, ByteVector payout_script,
                                          ByteVector fee_script, std::string coinbase_text);

// The coinbase and header of one job, kept by the source until a found nonce needs them.
struct SoloJob {
  std::uint64_t generation = 0;
  BlockHeader header{};
  ByteVector coinbase;
  std::shared_ptr<const std::vector<std::string>> transaction_data;
  Target256 target;
};

SoloJob build_solo_job(const SoloWork& work, std::optional<std::uint32_t> extra_nonce);

// Hands out extra nonces so that no two jobs on one previous block get the same: on each,
// device 0's first job gets none (its coinbase is the plain one), device d's first job gets d,
// and every later job the next number from the device count on.
struct ExtraNonceCounter {
  Hash256 previous_block{};
  std::uint32_t next = 0;
  std::vector<bool> device_started;  // the device had a job on this previous block
};

std::optional<std::uint32_t> next_extra_nonce(ExtraNonceCounter& counter, std::size_t device,
                                              std::size_t device_count, const Hash256& previous_block);
