#pragma once
// From a pool's job to the header a device searches: the coinbase with both extra nonces, its
// id, the merkle root from the branch, the header fields, the share target, and the texts a
// share goes back with.

#include <cstdint>
#include <string>

#include "chain/bytes.h"
#include "pow/block_header.h"
#include "pow/target.h"
#include "stratum/stratum_message.h"

// The target of difficulty 1: the same 131070 x 2^208 that the miner's "diff=" figure divides by
// (0x1fffe followed by 52 zero hex digits), so a pool's difficulty and the console agree.
Target256 difficulty_one_target();

// difficulty_one_target() / difficulty, rounded down to the precision of a double; a difficulty
// so small that the quotient passes 2^256 - 1 gives the largest target. The difficulty must be
// above zero (the message reader refuses others).
Target256 share_target(double difficulty);

// coinb1 + extranonce1 + extranonce2 + coinb2: the coinbase without witness, as the pool hashes it.
ByteVector assemble_coinbase(const StratumJob& job, const ByteVector& extranonce1, const ByteVector& extranonce2);

// The coinbase id (double SHA-256, internal order) folded with each branch hash in turn.
Hash256 merkle_root_from_branch(const ByteVector& coinbase, const std::vector<ByteVector>& branch);

// The job's header with nonce 0: version, bits and time little-endian, the previous hash with
// each 4-byte word turned back around.
BlockHeader job_header(const StratumJob& job, const Hash256& merkle_root);

// extranonce2 bytes for a counter value: the value big-endian in the last bytes, zeros before
// it; with fewer than 8 bytes only the low bytes of the value are kept.
ByteVector extranonce2_bytes(std::uint64_t value, std::int32_t size);

// The nonce as mining.submit carries it: 8 hex digits of the value, big-endian.
std::string nonce_text(std::uint32_t nonce);

// The share of the headers and nonces that one device searches, so that no two devices ever
// search the same header and nonce: the extranonce2 values [first, first + count), each header
// from nonce_begin up to nonce_end - 1. With at least as many values as devices, a device has
// values of its own, each with all its nonces. With fewer, device i takes value i mod values and
// an even slice of its nonces among the devices on that value. count is 0 for a device index
// outside the devices.
struct Extranonce2Range {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  std::uint64_t nonce_begin = 0;
  std::uint64_t nonce_end = nonce_space;
};
Extranonce2Range extranonce2_range(std::int32_t size, int device_index, int device_count);
