#include <cstdio>

#include "driver/api_startup.h"
#include "driver/console.h"
#include "driver/miner_options.h"
#include "driver/mining_loop.h"
#include "driver/utility_modes.h"
#include "gpu/gpu_miner.h"

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
  GpuMiner* gpu = gpu_miner_create(options.platform_id, options.device_id, options.global_work_size,
                                   options.local_work_size, options.kernel_path);
  if (gpu == nullptr) {
    std::printf("  [!] Failed to initialize OpenCL\n");
    return 1;
  }
  std::printf("  Work size: %d global, %d local\n\n", options.global_work_size, options.local_work_size);

  if (options.benchmark) {
    run_benchmark(options, gpu);
    return 0;
  }
  if (options.address.empty()) {
    std::printf("  [!] Address required (-a)\n");
    gpu_miner_release(gpu);
    return 1;
  }
  MiningStats stats;
  ApiServerHandle api_server;  // stopped when main returns, after the mining run
  if (!start_monitoring_api(options, stats, api_server)) {
    gpu_miner_release(gpu);
    return 1;
  }
  return run_mining(options, gpu, stats);
}
