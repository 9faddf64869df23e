#pragma once
// What a work source hands to a device and what a device hands back. Both go by value through
// the job board; neither refers to anything the other thread owns.

#include <cstddef>
#include <cstdint>

#include "pow/block_header.h"
#include "pow/target.h"

// One header to search, nonces 0 .. 2^32 - 1. No two jobs of a process share a header.
struct DeviceJob {
  std::uint64_t id = 0;      // names the job in a found nonce; unique within the process
  std::uint64_t generation = 0;  // of the work it comes from; a newer generation makes it stale
  std::uint64_t height = 0;      // for the status line
  BlockHeader header{};      // nonce bytes zero
  Midstate midstate;         // of header
  Target256 target;
};

// A nonce the device reported for a job; the work source checks it and makes it a block.
struct FoundNonce {
  std::size_t worker_index = 0;  // the device's position in the run
  std::uint64_t job_id = 0;
  std::uint32_t nonce = 0;
};
