// Veltrane nonce search: Whirlpool-512 of the 80-byte block header, folded to 32 bytes.
//
// The host folds header bytes 0..63 into a midstate; per nonce one compression remains,
// over the final block  tail0 | tail1 + nonce << 32 | 0x80 | 0 0 0 0 | 0x8002000000000000.
// Words are little-endian rows of the standard's state matrix, as on the host; C_t[x] is
// C0[x] rotated left by 8t bits. Each work item searches 128 consecutive nonces.

#define NONCES_PER_ITEM 128u
#define ROUNDS 10

#define BYTE(word, t) ((uint)((word) >> (8 * (t))) & 0xffu)

// Row i of one round of W: the C0 look-ups of the bytes on row i's anti-diagonal.
#define ROUND_ROW(table, in, i)                                                   \
  ((table)[BYTE(in[(i) & 7], 0)] ^ rotate((table)[BYTE(in[((i) + 7) & 7], 1)], 8ul) ^ \
   rotate((table)[BYTE(in[((i) + 6) & 7], 2)], 16ul) ^                              \
   rotate((table)[BYTE(in[((i) + 5) & 7], 3)], 24ul) ^                              \
   rotate((table)[BYTE(in[((i) + 4) & 7], 4)], 32ul) ^                              \
   rotate((table)[BYTE(in[((i) + 3) & 7], 5)], 40ul) ^                              \
   rotate((table)[BYTE(in[((i) + 2) & 7], 6)], 48ul) ^                              \
   rotate((table)[BYTE(in[((i) + 1) & 7], 7)], 56ul))

static void whirlpool_round(__global const ulong* c0, const ulong* in, ulong* out) {
  for (int i = 0; i < 8; ++i) out[i] = ROUND_ROW(c0, in, i);
}

// hash <= target as 256-bit numbers, limb 3 most significant.
static bool meets_target(const ulong* hash, __global const ulong* target) {
  for (int limb = 3; limb >= 0; --limb) {
    if (hash[limb] != target[limb]) return hash[limb] < target[limb];
  }
  return true;
}

__kernel void whirlpool_mine(__global const ulong* tables, __global const ulong* midstate, ulong tail0, ulong tail1,
                             __global const ulong* target, uint nonce_base, __global uint* nonce_out,
                             __global uint* found) {
  __global const ulong* c0 = tables;
  __global const ulong* round_constants = tables + 256;
  // Unsigned arithmetic wraps the nonce space at 2^32, as the host's batches do.
  const uint first_nonce = nonce_base + (uint)get_global_id(0) * NONCES_PER_ITEM;

  for (uint offset = 0; offset < NONCES_PER_ITEM; ++offset) {
    const uint nonce = first_nonce + offset;
    const ulong block[8] = {tail0, tail1 | ((ulong)nonce << 32), 0x80ul, 0, 0, 0, 0, 0x8002000000000000ul};
    ulong key[8], state[8], next[8];
    for (int i = 0; i < 8; ++i) {
      key[i] = midstate[i];
      state[i] = block[i] ^ key[i];
    }
    for (int round = 0; round < ROUNDS; ++round) {
      whirlpool_round(c0, key, next);
      for (int i = 0; i < 8; ++i) key[i] = next[i];
      key[0] ^= round_constants[round];
      whirlpool_round(c0, state, next);
      for (int i = 0; i < 8; ++i) state[i] = next[i] ^ key[i];
    }
    // Miyaguchi-Preneel output, folded: hash limb k = digest word k ^ digest word k + 4.
    ulong hash[4];
    for (int k = 0; k < 4; ++k) {
      hash[k] = (midstate[k] ^ state[k] ^ block[k]) ^ (midstate[k + 4] ^ state[k + 4] ^ block[k + 4]);
    }
    if (meets_target(hash, target)) {
      *nonce_out = nonce;
      *found = 1;
    }
  }
}
