// A kernel for tests that need a batch to take a while on any device: every work item runs one
// long chain of dependent multiplications. Its length is bound by the latency of each step, which
// a GPU does not shorten (a GPU is wide, not fast per item), so with a global size of 1 a batch
// lasts a good part of a second on a CPU device and no less on a GPU.
__kernel void whirlpool_mine(__global const ulong* tables, __global const ulong* midstate, ulong tail0, ulong tail1,
                             __global const ulong* target, uint nonce_base, __global uint* found_nonce,
                             __global uint* found_flag) {
  ulong x = tail0 + get_global_id(0);
  for (uint step = 0; step < (1u << 28); ++step) x = x * 6364136223846793005UL + tail1;
  // Uses the result, so that the chain is not optimised away; it practically never matches.
  if (x == target[0] + 1) {
    *found_nonce = nonce_base;
    *found_flag = 1;
  }
}
