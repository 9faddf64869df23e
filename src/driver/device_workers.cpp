#include "driver/device_workers.h"

void add_device_workers(const std::vector<MiningDevice>& devices, std::vector<std::unique_ptr<DeviceWorker>>& workers,
                        std::vector<std::int32_t>& device_ids) {
  for (std::size_t index = 0; index < devices.size(); ++index) {
    auto worker = std::make_unique<DeviceWorker>();
    worker->index = index;
    worker->gpu = devices[index].gpu;
    workers.push_back(std::move(worker));
    device_ids.push_back(devices[index].device_id);
  }
}

void stop_device_workers(JobBoard& board, std::vector<std::unique_ptr<DeviceWorker>>& workers) {
  close_board(board);
  for (auto& worker : workers) {
    if (worker->thread.joinable()) worker->thread.join();
  }
}

void release_devices(const std::vector<MiningDevice>& devices) {
  for (const MiningDevice& device : devices) gpu_miner_release(device.gpu);
}
