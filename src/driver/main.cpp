#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "driver/api_startup.h"
#include "driver/console.h"
#include "driver/device_workers.h"
#include "driver/executable_path.h"
#include "driver/miner_options.h"
#include "driver/mining_device.h"
#include "driver/mining_loop.h"
#include "driver/pool_mining.h"
#include "driver/startup_checks.h"
#include "driver/utility_modes.h"
#include "gpu/gpu_miner.h"
#include "stats/url_without_credentials.h"

namespace {

// A node's reply is read into one growing buffer of up to 64 MiB. After the first large reply
// glibc raises its mmap threshold to 32 MiB and from then on keeps the freed space of later
// ones in the heap of the thread that read them, so the resident memory of a long run grows in
// steps of tens of MiB. A fixed threshold gives every buffer of 1 MiB or more back to the
// system as soon as it is freed.
void return_large_buffers_to_the_system() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  return_large_buffers_to_the_system();
  install_stop_handler();
  configure_console();
  // No buffer at all: progress lines without a line feed must reach the console at once.
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  MinerOptions options;
  const CommandLineResult command_line = parse_command_line(argc, argv, options);
  if (command_line.action == CommandLineAction::show_usage) {
    print_usage(argv[0]);
    return 0;
  }
  if (command_line.action == CommandLineAction::reject) {
    std::printf("%s\n", command_line.problem.c_str());
    print_usage(argv[0]);
    return 1;
  }
  read_config_file(options);

  // Before anything uses it, so that a misspelt value is not quietly read as the default.
  if (!device_type_setting_is_valid()) {
    std::printf("  [!] %s=%s names no device type; use gpu, cpu, accelerator or all (any letter case)\n",
                device_type_variable, std::getenv(device_type_variable));
    return 1;
  }

  if (options.list_gpus) {
    print_gpu_list();
    return 0;
  }

  std::printf("\n  Veltrane OpenCL Miner v1.1\n");
  std::printf("  Whirlpool-512 (AMD / Intel / NVIDIA)\n\n");
  const bool mining = !options.benchmark;
  const bool pool_mode = !options.pool_urls.empty();
  if (mining && !options.address.empty()) {
    // Before the device and the node: a typo here would otherwise show only once a template came.
    // In a pool the worker name (-u) is the pool's to judge; an -a given is still checked, since
    // it stands in for a missing worker name.
    if (!check_payout_address(options.address)) return 1;
    if (!pool_mode) {
      std::printf("  [*] Payout address: %s\n", options.address.c_str());
      std::printf("  [*] Node: %s\n", url_without_credentials(options.rpc_url).c_str());
    }
  }
  // A typo in a pool URL or a missing worker name is told before the devices' set-up takes its time.
  std::optional<PoolLogin> pool;
  if (mining && pool_mode) {
    pool = pool_login(options);
    if (!pool) return 1;
  }
  const std::vector<std::int32_t> device_ids =
      chosen_devices(options, options.platform_id >= 0 && options.platform_id < count_platforms()
                                  ? count_gpu_devices(options.platform_id)
                                  : 0);
  // The work size is one for the whole run; the first device chosen decides the CPU default.
  const std::int32_t first_device = device_ids.empty() ? options.device_id : device_ids.front();
  const bool cpu_work_size = apply_cpu_device_work_size(options, device_is_gpu(options.platform_id, first_device));
  const KernelFileChoice kernel = choose_kernel_file(options, executable_path());
  options.kernel_path = kernel.path;
  // Each device gets its own handle; one that cannot be set up stops the start.
  std::vector<MiningDevice> devices;
  for (const std::int32_t device_id : device_ids) {
    GpuMiner* gpu = gpu_miner_create(options.platform_id, device_id, options.global_work_size,
                                     options.local_work_size, options.kernel_path);
    if (gpu == nullptr) break;
    devices.push_back({device_id, gpu});
  }
  if (devices.empty() || devices.size() < device_ids.size()) {
    if (!kernel.found) std::printf("  [!] %s\n", kernel_not_found_hint(kernel).c_str());
    std::printf("  [!] Failed to initialize OpenCL\n");
    release_devices(devices);
    return 1;
  }
  if (cpu_work_size) {
    std::printf("  [*] Not a GPU: default work size for a CPU device (-G and -L choose another)\n");
  }
  std::printf("  Work size: %d global, %d local\n\n", options.global_work_size, options.local_work_size);
  if (devices.size() > 1) {
    std::printf("  [+] %zu devices:", devices.size());
    for (const MiningDevice& device : devices) std::printf(" %d", device.device_id);
    std::printf("\n\n");
  }

  if (!mining) {
    return run_benchmark(options, devices);
  }
  if (!pool_mode && options.address.empty()) {
    std::printf("  [!] Address required (-a)\n");
    release_devices(devices);
    return 1;
  }
  MiningStats stats;
  ApiServerHandle api_server;  // stopped when main returns, after the mining run
  if (!start_monitoring_api(options, stats, api_server)) {
    release_devices(devices);
    return 1;
  }
  return pool ? run_pool_mining(*pool, options, devices, stats) : run_mining(options, devices, stats);
}
