#pragma once
// What a work source hands to a device and what a device hands back. Both go by value through
// the job board; neither refers to anything the other thread owns.

#include <cstddef>
#include <cstdint>

#include "pow/block_header.h"
#include "pow/target.h"

// One header to search, from first_nonce up to nonce_end - 1. No two jobs of a process search the
// same header and nonce.
struct DeviceJob {
  std::uint64_t id = 0;      // names the job in a found nonce; unique within the process
  std::uint64_t generation = 0;  // of the work it comes from; a newer generation makes it stale
  std::uint64_t height = 0;      // for the status line
  BlockHeader header{};      // nonce bytes zero
  Midstate midstate;         // of header
  Target256 target;
  // Where the search starts: a source that hands a device the header of its previous job again
  // starts it after the part already searched.
  std::uint64_t first_nonce = 0;
  // Where the search stops: devices that share a header search their own slices of its nonces.
  std::uint64_t nonce_end = nonce_space;
};

// A nonce the device reported for a job; the work source checks it and makes it a block.
struct FoundNonce {
  std::size_t worker_index = 0;  // the device's position in the run
  std::uint64_t job_id = 0;
  std::uint32_t nonce = 0;
};
