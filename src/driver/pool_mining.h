#pragma once
// Pool mining over Stratum: the pool hands out jobs, every device searches its own share of
// them, shares go back. The calling thread owns the pool connection; each device mines on a
// thread of its own, fed through the same job board as solo mining.

#include <vector>

#include "driver/miner_options.h"
#include "driver/mining_device.h"
#include "driver/mining_stats.h"

// Mines for the pools in options.pool_urls until the stop flag is set, recording into stats;
// releases every GPU. Returns 0 after a stop, 1 when a pool URL is bad, no worker name is given
// or every device is lost.
int run_pool_mining(const MinerOptions& options, const std::vector<MiningDevice>& devices, MiningStats& stats);
