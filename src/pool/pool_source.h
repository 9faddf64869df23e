#pragma once
// Pool mining over Stratum: the pool hands out jobs, every device searches its own range of
// extranonce2 values of them, and candidates go back as shares. The run's thread owns the pool
// connection.

#include <memory>
#include <string>
#include <vector>

#include "run/mining_run.h"
#include "run/work_source.h"
#include "stratum/pool_failover.h"

// The pools in failover order, each with the worker and password the miner logs in with there.
struct PoolLogin {
  std::vector<PoolEndpoint> pools;
};


// Prints the pool line and opens the connections; the first connection attempt comes in the
// first turn. The run's progress line comes every pool_status_interval seconds from then on.
std::unique_ptr<WorkSource> open_pool_source(MiningRun& run, const PoolLogin& login);
