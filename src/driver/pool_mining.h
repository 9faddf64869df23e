#pragma once
// Pool mining over Stratum: the pool hands out jobs, every device searches its own share of
// them, shares go back. The calling thread owns the pool connection; each device mines on a
// thread of its own, fed through the same job board as solo mining.

#include <optional>
#include <string>
#include <vector>

#include "driver/miner_options.h"
#include "driver/mining_device.h"
#include "stats/mining_stats.h"
#include "stratum/pool_failover.h"

// The pools of options.pool_urls in failover order, and what the miner logs in with.
struct PoolLogin {
  std::vector<PoolEndpoint> pools;
  std::string user;      // the worker name: -u, else the payout address
  std::string password;  // -p, else "x"
};

// Checked before any device is set up; a bad pool URL or a missing worker name prints what to
// give and returns nothing.
std::optional<PoolLogin> pool_login(const MinerOptions& options);

// Mines for the pools until the stop flag is set, recording into stats; releases every GPU.
// Returns 0 after a stop, 1 when every device is lost.
int run_pool_mining(const PoolLogin& login, const MinerOptions& options, const std::vector<MiningDevice>& devices,
                    MiningStats& stats);
