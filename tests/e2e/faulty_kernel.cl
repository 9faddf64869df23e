// A deliberately wrong kernel for the tests: it claims the first nonce of every batch hits
// without hashing anything, so the miner's CPU re-check must catch it.
__kernel void whirlpool_mine(__global const ulong* tables, __global const ulong* midstate, ulong tail0, ulong tail1,
                             __global const ulong* target, uint nonce_base, __global uint* found_nonce,
                             __global uint* found_flag) {
  if (get_global_id(0) == 0) {
    *found_nonce = nonce_base;
    *found_flag = 1;
  }
}
