// A kernel that builds but whose nonce_base argument is 64 bits wide instead of 32: setting that
// argument fails at every batch, the way batches fail on a device that has been lost.
__kernel void whirlpool_mine(__global const ulong* tables, __global const ulong* midstate, ulong tail0, ulong tail1,
                             __global const ulong* target, ulong nonce_base, __global uint* found_nonce,
                             __global uint* found_flag) {
  if (get_global_id(0) == 0 && nonce_base == 1) *found_flag = 0;
}
