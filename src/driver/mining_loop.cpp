#include "driver/mining_loop.h"

#include <cstdio>

int run_mining(const MinerOptions&, GpuMiner* gpu) {
  std::printf("  [!] Mining is not available in this build\n");
  gpu_miner_release(gpu);
  return 1;
}
