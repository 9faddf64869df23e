#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <optional>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "driver/api_startup.h"
#include "driver/console.h"
#include "driver/executable_path.h"
#include "driver/miner_options.h"
#include "driver/startup_checks.h"
#include "driver/utility_modes.h"
#include "gpu/gpu_miner.h"
#include "pool/pool_source.h"
#include "program_version.h"
#include "run/mining_run.h"
#include "solo/solo_source.h"
#include "stats/url_without_credentials.h"
#include "work/opencl_mining_device.h"

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

// The device's name as the listing shows it.
std::string device_name(std::int32_t platform_id, std::int32_t device_id) {
  char name[256] = "";
  char vendor[256] = "";
  std::uint64_t memory = 0;
  get_gpu_device_info(platform_id, device_id, name, sizeof name, vendor, sizeof vendor, &memory);
  return name;
}

// Mines with the run on the devices until a stop; the stop request wakes the run's wait.
int mine_with(MiningRun& run, WorkSource* source) {
  if (source == nullptr) return 1;
  set_stop_listener([&run] {
    // The stop handler has told the console already; the log file hears it here, off the
    // signal handler.
    console_log_only(run.console, stop_notice);
    poke_source(run.board);
  });
  const int exit_code = mine(run, *source);
  set_stop_listener({});
  return exit_code;
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
  if (command_line.action == CommandLineAction::show_version) {
    print_version();
    return 0;
  }
  if (command_line.action == CommandLineAction::reject) {
    std::printf("%s\n", command_line.problem.c_str());
    print_usage(argv[0]);
    return 1;
  }
  read_config_file(options);
  // A URL the miner cannot use is a mistake in the set-up, whatever the mode: told before anything else.
  if (!settle_url_schemes(options)) return 1;

  // Before anything uses it, so that a misspelt value is not quietly read as the default.
  if (!device_type_setting_is_valid()) {
    std::printf("  [!] %s=%s names no device type; use gpu, cpu, accelerator or all (any letter case)\n",
                device_type_variable, std::getenv(device_type_variable));
    return 1;
  }

  const std::optional<Timings> timings = timings_from_environment();
  if (!timings) return 1;
  const std::optional<SensorSettings> sensor_settings = sensor_settings_from_environment();
  if (!sensor_settings) return 1;

  if (options.list_gpus) {
    const bool platform_exists = options.platform_id >= 0 && options.platform_id < count_platforms();
    print_gpu_list(options.platform_id,
                   options.devices_given
                       ? chosen_devices(options, platform_exists ? count_gpu_devices(options.platform_id) : 0)
                       : std::vector<std::int32_t>{});
    return 0;
  }

  // The console's lines from here on go to the log file too, when there is one.
  LogFile log_file;  // outlives the run, whose lines it takes
  ConsoleWriter console;
  console.write = write_to_standard_output;
  if (!open_log_file(options, log_file)) return 1;
  if (!options.log_file.empty()) console.log = &log_file;
  const auto say = [&console](const std::string& lines) { console_say(console, lines); };

  say("\n  Veltrane OpenCL Miner v" + std::string(program_version) + "\n");
  say("  Whirlpool-512 (AMD / Intel / NVIDIA)\n\n");
  const bool mining = !options.benchmark;
  const bool pool_mode = !options.pools.empty();
  if (mining && !options.address.empty()) {
    // Before the device and the node: a typo here would otherwise show only once a template came.
    // In a pool the worker name (-u) is the pool's to judge; an -a given is still checked, since
    // it stands in for a missing worker name.
    if (!check_payout_address(options.address, console)) return 1;
    if (!pool_mode) {
      say("  [*] Payout address: " + options.address + "\n");
      say("  [*] Node: " + url_without_credentials(options.rpc_url) + "\n");
    }
  }
  std::optional<TemperatureLimit> temperature_limit;
  if (mining && !temperature_limit_from_options(options, temperature_limit, console)) return 1;
  // A typo in a pool URL or a missing worker name is told before the devices' set-up takes its time.
  std::optional<PoolLogin> pool;
  if (mining && pool_mode) {
    pool = pool_login(options, console);
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
  std::vector<RunDevice> devices;
  // Sizes given on the command line win; with both given there is nothing left to choose.
  const bool autotune = options.autotune && !(options.global_work_size_given && options.local_work_size_given);
  const AutotuneSettings autotune_settings{timings->autotune,
                                           options.global_work_size_given ? options.global_work_size : 0,
                                           options.local_work_size_given ? options.local_work_size : 0};
  for (const std::int32_t device_id : device_ids) {
    std::unique_ptr<MiningDevice> device = open_opencl_device(
        options.platform_id, device_id, options.global_work_size, options.local_work_size, options.kernel_path,
        options.kernel_cache, autotune ? &autotune_settings : nullptr, device_ids.size() > 1);
    if (!device) break;
    devices.push_back({device_id, device_name(options.platform_id, device_id), std::move(device),
                       gpu_device_bus_id(options.platform_id, device_id)});
  }
  if (devices.empty() || devices.size() < device_ids.size()) {
    if (!kernel.found) say("  [!] " + kernel_not_found_hint(kernel) + "\n");
    say("  [!] Failed to initialize OpenCL\n");
    return 1;
  }
  if (autotune) {
    // Each device says its own choice; the line below shows the first device's.
    options.global_work_size = static_cast<std::int32_t>(devices.front().device->global_size());
    options.local_work_size = static_cast<std::int32_t>(devices.front().device->local_size());
  } else if (cpu_work_size) {
    say("  [*] Not a GPU: default work size for a CPU device (-G and -L choose another)\n");
  }
  say("  Work size: " + std::to_string(options.global_work_size) + " global, " +
      std::to_string(options.local_work_size) + " local\n\n");
  if (devices.size() > 1) {
    std::string line = "  [+] " + std::to_string(devices.size()) + " devices:";
    for (const RunDevice& device : devices) line += " " + std::to_string(device.opencl_index);
    say(line + "\n\n");
  }

  if (!mining) {
    return run_benchmark(std::move(devices), *timings);
  }
  if (!pool_mode && options.address.empty()) {
    say("  [!] Address required (-a)\n");
    return 1;
  }
  MiningStats stats;
  RigSettings rig;
  if (pool) {
    rig.worker = pool->pools.front().worker;
    for (const PoolEndpoint& endpoint : pool->pools) rig.pools.push_back(endpoint.url);
  } else {
    rig.payout_address = options.address;
  }
  stats_set_rig(stats, rig);
  ApiServerHandle api_server;  // stopped after the mining run
  if (!start_monitoring_api(options, *timings, stats, api_server, console)) return 1;
  for (std::size_t index = 0; index < devices.size() && index < sensor_settings->bus_ids.size(); ++index) {
    devices[index].bus_id = sensor_settings->bus_ids[index];
  }
  DeviceSensors sensors;  // outlives the run, whose sensor thread reads them
  open_device_sensors(sensors, *sensor_settings);
  MiningRun run;
  prepare_run(run, std::move(devices), *timings, stats, g_stop_requested);
  run.console.log = console.log;
  run.watchdog_exit = options.watchdog_exit;
  run.temperature_limit = temperature_limit;
  run.read_sensors = [&sensors, &run](std::size_t index) {
    return read_device_sensors(sensors, run.devices[index].bus_id);
  };
  std::unique_ptr<WorkSource> source;
  if (pool) {
    source = open_pool_source(run, *pool);
  } else {
    const SoloSettings solo{options.rpc_url, options.rpc_user, options.rpc_password, options.rpc_cookie,
                            options.address, options.coinbase, options.longpoll};
    source = open_solo_source(run, solo);
  }
  const int exit_code = mine_with(run, source.get());
  if (threads_were_left_behind(run)) {
    // A thread is still inside a hung driver (OpenCL or the sensors' library), which may block
    // any later call into it, the libraries' own clean-up at exit included: the process ends here.
    close_log(log_file);
    end_process_now(exit_code);
  }
  close_device_sensors(sensors);
  return exit_code;
}
