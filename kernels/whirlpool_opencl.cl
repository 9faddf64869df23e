// Veltrane nonce search: Whirlpool-512 of the 80-byte block header, folded to 32 bytes.
//
// The host folds header bytes 0..63 into a midstate; per nonce one compression remains,
// over the final block  tail0 | tail1 + nonce << 32 | 0x80 | 0 0 0 0 | 0x8002000000000000,
// with the midstate as its key. Words are little-endian rows of the standard's state matrix,
// as on the host; C_t[x] is C0[x] rotated left by 8t bits.
//
// Table look-ups per nonce (a look-up reads one 64-bit table entry):
//   straightforward compression: 10 rounds x 64 for the key schedule + 10 x 64 for the state = 1,280
//   this kernel:
//     key schedule: the key is the midstate, the same for the whole job; its ten round keys are
//       computed once per work-group                                                        ~0
//     round 1: only nonce byte 0 varies within a run of nonces sharing bytes 1..3, and only
//       row 5 reads it; the rest is computed once per run                                    1
//     round 2: round 1 changed row 5 only, which each output row reads once                  8
//     rounds 3..9: full                                                                  7 x 64 = 448
//     round 10: rows 3 and 7 give limb 3 of the folded hash, compared first; the other six
//       rows only when limb 3 does not already decide (almost never)                        16
//     per run (at most two per work item of 128 nonces): 64 + 7 + 56 look-ups              ~2
//   about 475 per nonce, against 1,280.
// Each work item searches 128 consecutive nonces. The eight rotated copies of C0 sit in local
// memory, built by each work-group from the table buffer, so no look-up needs a rotation.

#define NONCES_PER_ITEM 128u
#define ROUNDS 10u
#define PADDING_WORD 0x80ul                   // word 2 of the final block
#define LENGTH_WORD 0x8002000000000000ul      // word 7: the 640-bit message length, big-endian

// On x86 CPU devices (PoCL) the compiler packs the independent look-ups of a round into vector
// gathers, which there are slower than scalar loads (the kernel ran at half the speed); reading
// the tables through a volatile pointer keeps every look-up a plain load. GPUs read them through
// an ordinary pointer. VOLATILE_TABLES (1 or 0, as a build option or a #define before this
// point) overrides the choice, so that either branch can be run on any device.
#ifndef VOLATILE_TABLES
#if defined(__x86_64__) || defined(__i386__)
#define VOLATILE_TABLES 1
#else
#define VOLATILE_TABLES 0
#endif
#endif
#if VOLATILE_TABLES
typedef volatile __local const ulong* rotated_tables;
#else
typedef __local const ulong* rotated_tables;
#endif

// C_t[byte t of word]: copy t of the table, indexed by byte t.
static inline ulong lookup(rotated_tables tables, uint t, ulong word) {
  return tables[(t << 8) + ((uint)(word >> (8 * t)) & 0xffu)];
}

// Row i of one round of W: the look-ups of the bytes on row i's anti-diagonal of the input.
static inline ulong round_row(rotated_tables tables, const ulong* in, uint i) {
  ulong value = 0;
#pragma unroll
  for (uint t = 0; t < 8; ++t) value ^= lookup(tables, t, in[(i + 8 - t) & 7]);
  return value;
}

// The same row without the one term that reads input row `skipped`.
static inline ulong round_row_without(rotated_tables tables, const ulong* in, uint i, uint skipped) {
  ulong value = 0;
#pragma unroll
  for (uint t = 0; t < 8; ++t) {
    if (((i + 8 - t) & 7) != skipped) value ^= lookup(tables, t, in[(i + 8 - t) & 7]);
  }
  return value;
}

// One full round: out = W's round function of in, plus the round key. Column by column: each
// input word's eight bytes go to eight different output rows, so a word is dead after its
// column and fewer values compete for registers. A macro, not a function: PoCL 3.1 was seen to
// lose the stores that such a helper made through a private array pointer.
#define FULL_ROUND(tables, in, out, key)                                                \
  do {                                                                                  \
    _Pragma("unroll") for (uint row_ = 0; row_ < 8; ++row_)(out)[row_] = (key)[row_];   \
    _Pragma("unroll") for (uint column_ = 0; column_ < 8; ++column_) {                  \
      const ulong word_ = (in)[column_];                                                \
      _Pragma("unroll") for (uint t_ = 0; t_ < 8; ++t_)                                 \
          (out)[(column_ + t_) & 7] ^= lookup((tables), t_, word_);                     \
    }                                                                                   \
  } while (0)

// hash <= target as 256-bit numbers, limb 3 most significant.
static inline bool meets_target(const ulong* hash, __global const ulong* target) {
  for (int limb = 3; limb >= 0; --limb) {
    if (hash[limb] != target[limb]) return hash[limb] < target[limb];
  }
  return true;
}

__kernel void whirlpool_mine(__global const ulong* tables, __global const ulong* midstate, ulong tail0, ulong tail1,
                             __global const ulong* target, uint nonce_base, __global uint* nonce_out,
                             __global uint* found) {
  __local ulong rotated[8 * 256];
  __local ulong round_keys[ROUNDS * 8];  // round r + 1 at 8r .. 8r + 7
  const uint local_id = (uint)get_local_id(0);
  const uint local_size = (uint)get_local_size(0);

  for (uint x = local_id; x < 256; x += local_size) {
    const ulong entry = tables[x];
#pragma unroll
    for (uint t = 0; t < 8; ++t) rotated[(t << 8) | x] = rotate(entry, (ulong)(8 * t));
  }
  barrier(CLK_LOCAL_MEM_FENCE);
  if (local_id == 0) {
    ulong key[8], next[8];
    for (uint i = 0; i < 8; ++i) key[i] = midstate[i];
    for (uint round_index = 0; round_index < ROUNDS; ++round_index) {
#pragma unroll
      for (uint i = 0; i < 8; ++i) next[i] = round_row(rotated, key, i);
      next[0] ^= tables[256 + round_index];
#pragma unroll
      for (uint i = 0; i < 8; ++i) {
        key[i] = next[i];
        round_keys[8 * round_index + i] = next[i];
      }
    }
  }
  barrier(CLK_LOCAL_MEM_FENCE);

  ulong chaining[8];
#pragma unroll
  for (uint i = 0; i < 8; ++i) chaining[i] = midstate[i];
  __local const ulong* last_key = round_keys + 8 * (ROUNDS - 1);
  // Limb 3 of the folded hash is (key ^ state ^ block) words 3 and 7 of round 10's output;
  // all but the two state rows are fixed for the job.
  const ulong limb3_fixed = chaining[3] ^ chaining[7] ^ LENGTH_WORD ^ last_key[3] ^ last_key[7];
  const ulong target3 = target[3];

  // Unsigned arithmetic wraps the nonce space at 2^32, as the host's batches do.
  uint nonce = nonce_base + (uint)get_global_id(0) * NONCES_PER_ITEM;
  uint remaining = NONCES_PER_ITEM;
  while (remaining != 0) {
    // A run: the nonces up to the next change of nonce byte 1 (and so of bytes 2 and 3).
    const uint first_low_byte = nonce & 0xffu;
    const uint run_length = min(remaining, 256u - first_low_byte);

    // Cipher input for nonce byte 0 = 0. Nonce byte 0 is byte 4 of row 1, read in round 1 by row 5 only.
    const ulong in0[8] = {tail0 ^ chaining[0], (tail1 | ((ulong)(nonce & ~0xffu) << 32)) ^ chaining[1],
                          PADDING_WORD ^ chaining[2], chaining[3], chaining[4], chaining[5], chaining[6],
                          LENGTH_WORD ^ chaining[7]};
    ulong in1[8];
    FULL_ROUND(rotated, in0, in1, round_keys);
    const ulong row5_fixed = round_row_without(rotated, in0, 5, 1) ^ round_keys[5];
    const uint nonce_byte_key = (uint)(in0[1] >> 32) & 0xffu;
    // Round 2: every row reads row 5 of round 1's output once, at byte (i + 3) & 7.
    ulong round2_fixed[8];
#pragma unroll
    for (uint i = 0; i < 8; ++i) round2_fixed[i] = round_row_without(rotated, in1, i, 5) ^ round_keys[8 + i];

    for (uint k = 0; k < run_length; ++k) {
      const uint low_byte = first_low_byte + k;
      const ulong row5 = row5_fixed ^ rotated[(4u << 8) | (nonce_byte_key ^ low_byte)];
      ulong state[8], next[8];
#pragma unroll
      for (uint i = 0; i < 8; ++i) state[i] = round2_fixed[i] ^ lookup(rotated, (i + 3) & 7, row5);
      for (uint round_index = 2; round_index < ROUNDS - 1; ++round_index) {
        FULL_ROUND(rotated, state, next, round_keys + 8 * round_index);
#pragma unroll
        for (uint i = 0; i < 8; ++i) state[i] = next[i];
      }
      const ulong limb3 = round_row(rotated, state, 3) ^ round_row(rotated, state, 7) ^ limb3_fixed;
      if (limb3 > target3) continue;

      // Limb 3 does not reject it: finish round 10 and compare the whole hash.
      const uint candidate = (nonce & ~0xffu) | low_byte;
      const ulong block[8] = {tail0, tail1 | ((ulong)candidate << 32), PADDING_WORD, 0, 0, 0, 0, LENGTH_WORD};
      FULL_ROUND(rotated, state, next, last_key);
      ulong hash[4];
#pragma unroll
      for (uint limb = 0; limb < 4; ++limb) {
        hash[limb] = (chaining[limb] ^ next[limb] ^ block[limb]) ^ (chaining[limb + 4] ^ next[limb + 4] ^ block[limb + 4]);
      }
      if (meets_target(hash, target)) {
        *nonce_out = candidate;
        *found = 1;
      }
    }
    nonce += run_length;
    remaining -= run_length;
  }
}
