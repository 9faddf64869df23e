#include <cstdio>
#include <vector>

#include "driver/console.h"
#include "driver/miner_options.h"
#include "driver/mining_device.h"
#include "driver/mining_loop.h"
#include "driver/pool_mining.h"
#include "driver/utility_modes.h"
#include "gpu/gpu_miner.h"

namespace {

void release_all(const std::vector<MiningDevice>& devices) {
  for (const MiningDevice& device : devices) gpu_miner_release(device.gpu);
}

}  // namespace

int main(int argc, char** argv) {
  install_stop_handler();
  configure_console();
  // No buffer at all: progress lines without a line feed must reach the console at once.
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  MinerOptions options;
  if (parse_command_line(argc, argv, options)) {
    print_usage(argv[0]);
    return 0;
  }
  read_config_file(options);

  if (options.list_gpus) {
    print_gpu_list();
    return 0;
  }

  std::printf("\n  Veltrane OpenCL Miner v1.1\n");
  std::printf("  Whirlpool-512 (AMD / Intel / NVIDIA)\n\n");
  // Each device gets its own handle; one that cannot be set up stops the start.
  std::vector<MiningDevice> devices;
  const std::vector<std::int32_t> device_ids =
      chosen_devices(options, options.platform_id >= 0 && options.platform_id < count_platforms()
                                  ? count_gpu_devices(options.platform_id)
                                  : 0);
  for (const std::int32_t device_id : device_ids) {
    GpuMiner* gpu = gpu_miner_create(options.platform_id, device_id, options.global_work_size,
                                     options.local_work_size, options.kernel_path);
    if (gpu == nullptr) break;
    devices.push_back({device_id, gpu});
  }
  if (devices.empty() || devices.size() < device_ids.size()) {
    std::printf("  [!] Failed to initialize OpenCL\n");
    release_all(devices);
    return 1;
  }
  std::printf("  Work size: %d global, %d local\n\n", options.global_work_size, options.local_work_size);
  if (devices.size() > 1) {
    std::printf("  [+] %zu devices:", devices.size());
    for (const MiningDevice& device : devices) std::printf(" %d", device.device_id);
    std::printf("\n\n");
  }

  if (options.benchmark) {
    run_benchmark(options, devices);
    return 0;
  }
  if (!options.pool_urls.empty()) return run_pool_mining(options, devices);
  if (options.address.empty()) {
    std::printf("  [!] Address required (-a)\n");
    release_all(devices);
    return 1;
  }
  return run_mining(options, devices);
}
