#include "driver/device_workers.h"

#include <cstdio>
#include <string>
#include <utility>

#include "driver/monotonic_clock.h"

std::string failure_label(const std::vector<MiningDevice>& devices, std::size_t index) {
  return devices.size() > 1 ? "Device " + std::to_string(devices[index].device_id) + ": " : std::string();
}

void add_device_workers(const std::vector<MiningDevice>& devices, std::vector<std::unique_ptr<DeviceWorker>>& workers,
                        std::vector<std::int32_t>& device_ids) {
  for (std::size_t index = 0; index < devices.size(); ++index) {
    auto worker = std::make_unique<DeviceWorker>();
    worker->index = index;
    worker->gpu = devices[index].gpu;
    worker->failures.device_label = failure_label(devices, index);
    workers.push_back(std::move(worker));
    device_ids.push_back(devices[index].device_id);
  }
}

void add_devices_to_stats(MiningStats& stats, std::int32_t platform_id, const std::vector<MiningDevice>& devices) {
  for (const MiningDevice& device : devices) {
    char name[256] = "";
    char vendor[256] = "";
    std::uint64_t memory = 0;
    get_gpu_device_info(platform_id, device.device_id, name, sizeof name, vendor, sizeof vendor, &memory);
    stats_add_device(stats, device.device_id, name);
  }
}

void record_launch(MiningStats& stats, std::int32_t device_id, std::int64_t& last_launch_end, std::uint32_t nonces_done) {
  const std::int64_t now = monotonic_now_ns();
  stats_record_batch(stats, device_id, nonces_done, std::exchange(last_launch_end, now), now);
}

bool every_device_lost(const std::vector<std::unique_ptr<DeviceWorker>>& workers,
                       const std::vector<std::int32_t>& device_ids, std::set<std::size_t>& lost_reported,
                       MiningStats& stats) {
  bool every = true;
  for (std::size_t index = 0; index < workers.size(); ++index) {
    if (!workers[index]->lost) {
      every = false;
      continue;
    }
    if (!lost_reported.insert(index).second) continue;
    stats_record_device_lost(stats, device_ids[index]);
    if (workers.size() > 1) {
      std::printf("\n  [!] Device %d lost: every batch failed for %.0f s; the other devices go on\n",
                  device_ids[index], device_lost_seconds);
    }
  }
  return every;
}

void print_devices_lost(const std::vector<std::unique_ptr<DeviceWorker>>& workers) {
  // A supervisor restarts a miner that exits with 1; a lost device rarely comes back by itself.
  for (const auto& worker : workers) {
    for (const std::string& line : unreported_failures(worker->failures)) std::fputs(line.c_str(), stdout);
  }
  std::fputs(device_lost_line, stdout);
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
