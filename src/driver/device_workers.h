#pragma once
// The device threads of a mining run, whichever work source feeds them: set-up, wind-down and
// release of the devices' handles.

#include <cstdint>
#include <memory>
#include <vector>

#include "driver/mining_device.h"
#include "work/device_worker.h"
#include "work/job_board.h"

// One worker per device, in order (a worker's index is its position), and the devices' indices
// as the user knows them. The threads are not started.
void add_device_workers(const std::vector<MiningDevice>& devices, std::vector<std::unique_ptr<DeviceWorker>>& workers,
                        std::vector<std::int32_t>& device_ids);

// Closes the board; each device thread finishes its running batch and ends.
void stop_device_workers(JobBoard& board, std::vector<std::unique_ptr<DeviceWorker>>& workers);

void release_devices(const std::vector<MiningDevice>& devices);
