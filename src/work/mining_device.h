#pragma once
// The seam between the mining run and a device: a job at a time, launches queued back to back
// and collected in the order they were queued. The OpenCL device implements it for mining and
// the benchmark; tests put a fake device in its place.

#include <cstdint>
#include <memory>
#include <string>

#include "gpu/gpu_miner.h"
#include "pow/target.h"
#include "pow/whirlpool.h"

class MiningDevice {
 public:
  virtual ~MiningDevice() = default;
  // The job every later launch searches: the midstate's chaining value and the target. A failed
  // upload is tried again by the next launch, which then fails if it fails again.
  virtual void set_job(const WhirlpoolWords& midstate, const Target256& target) = 0;
  // Queues a search of nonce_base .. nonce_base + work_items x nonces_per_item - 1 (modulo 2^32).
  // False when it could not be queued (error names the failed call) or when launch_slots()
  // launches already wait (error untouched).
  virtual bool queue_launch(std::uint64_t tail0, std::uint64_t tail1, std::uint32_t nonce_base,
                            std::uint32_t work_items, std::string& error) = 0;
  // Waits for the oldest queued launch: nonces_done 0 and the error when it failed.
  virtual BatchResult collect_launch() = 0;
  virtual std::uint32_t global_size() const = 0;  // work items of a full launch
  virtual std::uint32_t local_size() const = 0;   // launches are whole multiples of it
  virtual int launch_slots() const = 0;           // launches that may wait to be collected
};

// One device of a run: the seam, and how the user knows it.
struct RunDevice {
  std::int32_t opencl_index = 0;  // the OpenCL device index, as -d and the listing give it
  std::string name;               // as the listing shows it
  std::unique_ptr<MiningDevice> device;
  std::string bus_id = "unknown";  // PCI domain:bus:device.function, where the platform tells it
};
