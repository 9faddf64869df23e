#pragma once
// The device threads of a mining run, whichever work source feeds them: set-up, statistics,
// lost devices, wind-down and release of the devices' handles.

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver/mining_device.h"
#include "stats/mining_stats.h"
#include "work/device_worker.h"
#include "work/job_board.h"

// What the device's failure lines start with: its index with several devices, nothing with one.
std::string failure_label(const std::vector<MiningDevice>& devices, std::size_t index);

// One worker per device, in order (a worker's index is its position), and the devices' indices
// as the user knows them. The threads are not started.
void add_device_workers(const std::vector<MiningDevice>& devices, std::vector<std::unique_ptr<DeviceWorker>>& workers,
                        std::vector<std::int32_t>& device_ids);

// Registers each device, with its name as the listing shows it, in the statistics.
void add_devices_to_stats(MiningStats& stats, std::int32_t platform_id, const std::vector<MiningDevice>& devices);

// Records a launch of the device that ended now, spreading its hashes over the span since the
// device's previous launch ended (last_launch_end, which this moves on).
void record_launch(MiningStats& stats, std::int32_t device_id, std::int64_t& last_launch_end, std::uint32_t nonces_done);

// True once every device has been given up (every launch failed for device_lost_seconds). A lost
// device is recorded in the statistics once (lost_reported remembers which); with several
// devices it is also said once, and the others go on.
bool every_device_lost(const std::vector<std::unique_ptr<DeviceWorker>>& workers,
                       const std::vector<std::int32_t>& device_ids, std::set<std::size_t>& lost_reported,
                       MiningStats& stats);

// The devices' pending failure counts and the line that ends a run whose every device is lost.
void print_devices_lost(const std::vector<std::unique_ptr<DeviceWorker>>& workers);

// Closes the board; each device thread finishes its running batch and ends.
void stop_device_workers(JobBoard& board, std::vector<std::unique_ptr<DeviceWorker>>& workers);

void release_devices(const std::vector<MiningDevice>& devices);
