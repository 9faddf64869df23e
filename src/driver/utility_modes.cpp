#include "driver/utility_modes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "driver/console.h"
#include "gpu/gpu_miner.h"
#include "run/console_writer.h"
#include "run/hash_rate.h"
#include "run/mining_run.h"
#include "run/monotonic_clock.h"
#include "work/batch_failures.h"
#include "work/device_worker.h"
#include "work/job_board.h"

namespace {

void print_device_line(int platform, int device) {
  char name[256] = "";
  char vendor[256] = "";
  std::uint64_t memory_size = 0;
  get_gpu_device_info(platform, device, name, sizeof name, vendor, sizeof vendor, &memory_size);
  std::printf("  Platform %d, Device %d: %s (%s, %zu MB)\n", platform, device, name, vendor,
              static_cast<std::size_t>(memory_size / 1048576));
  std::printf("    PCI bus id: %s\n", gpu_device_bus_id(platform, device).c_str());
}

}  // namespace

void print_gpu_list(int platform, const std::vector<std::int32_t>& chosen) {
  const int platform_count = count_platforms();
  std::printf("OpenCL platforms: %d\n", platform_count);
  if (!chosen.empty()) {
    const int device_count = platform >= 0 && platform < platform_count ? count_gpu_devices(platform) : 0;
    for (const std::int32_t device : chosen) {
      if (device >= 0 && device < device_count) {
        print_device_line(platform, device);
      } else {
        std::printf("  Platform %d, Device %d: not found (%d available)\n", platform, device, device_count);
      }
    }
    return;
  }
  int device_total = 0;
  for (int listed_platform = 0; listed_platform < platform_count; ++listed_platform) {
    const int device_count = count_gpu_devices(listed_platform);
    device_total += device_count;
    for (int device = 0; device < device_count; ++device) print_device_line(listed_platform, device);
  }
  if (device_total == 0) {
    const std::string hint = device_type_hint();
    if (!hint.empty()) std::printf("  %s\n", hint.c_str());
  }
}

namespace {

// Arbitrary fixed input; only the amount of work matters, not what it hashes. The zero target
// lets (almost) nothing hit, so every launch does its full work.
constexpr WhirlpoolWords benchmark_state = {0xA5C3, 0x3E8F, 0x92E4, 0x6F0B, 0xD17E, 0x84A0, 0x4B6F, 0xF593};
constexpr std::uint64_t benchmark_tail0 = 0xDEAD;
constexpr std::uint64_t benchmark_tail1 = 0xBEEF;
constexpr auto several_devices_progress_interval = std::chrono::milliseconds(500);

// One device's benchmark, written by its thread's launch observer until finished is set.
struct DeviceBenchmark {
  std::uint32_t warm_up_left = benchmark_warm_up_launches;
  std::int64_t start_ns = 0;
  std::atomic<std::uint64_t> hashes{0};
  std::atomic<double> seconds{0};
  std::atomic<bool> timed{false};     // the warm-up is over
  std::atomic<bool> measured{false};  // a timed launch has ended: the rate means something
  std::atomic<bool> finished{false};  // the duration is over: later launches do not count
};

struct Benchmark {
  const Timings* timings = nullptr;
  ConsoleWriter console;
  JobBoard board;
  std::vector<RunDevice> devices;
  std::vector<std::unique_ptr<DeviceBenchmark>> results;
  std::vector<std::unique_ptr<DeviceWorker>> workers;
};

double rate_of(const DeviceBenchmark& result) {
  const double seconds = result.seconds;
  return seconds > 0 ? static_cast<double>(result.hashes) / seconds : 0;
}

void observe_launch(Benchmark& benchmark, std::size_t worker_index, std::uint32_t nonces_done) {
  DeviceBenchmark& result = *benchmark.results[worker_index];
  if (result.finished) return;
  const std::int64_t now_ns = monotonic_now_ns();
  if (result.warm_up_left > 0) {
    if (--result.warm_up_left == 0) {
      result.start_ns = now_ns;
      result.timed = true;
    }
    return;
  }
  result.hashes += nonces_done;
  result.seconds = elapsed_seconds(result.start_ns, now_ns);
  result.measured = true;
  if (benchmark.devices.size() == 1) {
    char line[64];
    std::snprintf(line, sizeof line, "  [%.1fs] %s  ", result.seconds.load(), format_hash_rate(rate_of(result)).c_str());
    console_progress(benchmark.console, line);
  }
  if (result.seconds >= benchmark.timings->benchmark) {
    result.finished = true;
    poke_source(benchmark.board);
  }
}

// The progress line with several devices: the time since the start, the total and each device's
// own rate ("lost" for a device given up). None until every device has ended a timed launch:
// before that a device's rate would read 0 and the total would be short of it.
std::optional<std::string> several_devices_progress(const Benchmark& benchmark, std::int64_t start_ns) {
  double total = 0;
  std::string device_rates;
  for (std::size_t index = 0; index < benchmark.results.size(); ++index) {
    const DeviceBenchmark& result = *benchmark.results[index];
    const bool lost = benchmark.workers[index]->lost;
    if (!result.measured && !lost) return std::nullopt;
    total += rate_of(result);
    device_rates += "  #" + std::to_string(benchmark.devices[index].opencl_index) + " " +
                    (lost ? std::string("lost") : format_hash_rate(rate_of(result)));
  }
  char head[64];
  std::snprintf(head, sizeof head, "  [%.1fs] %s", elapsed_seconds(start_ns, monotonic_now_ns()),
                format_hash_rate(total).c_str());
  return head + device_rates + "  ";
}

void start_benchmark_devices(Benchmark& benchmark) {
  constexpr std::uint64_t generation = 1;
  std::uint64_t next_job_id = 1;
  publish_work(
      benchmark.board,
      [next_job_id](const JobRequest&) mutable {
        DeviceJob job;
        job.id = next_job_id++;
        job.generation = generation;
        job.midstate = {benchmark_state, benchmark_tail0, benchmark_tail1};
        return std::optional<DeviceJob>(job);
      },
      generation);
  for (std::size_t index = 0; index < benchmark.devices.size(); ++index) {
    benchmark.results.push_back(std::make_unique<DeviceBenchmark>());
    auto worker = make_device_worker(index, benchmark.devices[index], benchmark.devices.size() > 1,
                                     *benchmark.timings, monotonic_now_ns);
    worker->say = [&benchmark](const std::string& line) { console_say(benchmark.console, line); };
    worker->observer = [&benchmark](const LaunchReport& launch) {
      observe_launch(benchmark, launch.worker_index, launch.nonces_done);
    };
    worker->adapt_launch_size = false;
    benchmark.workers.push_back(std::move(worker));
  }
  for (auto& worker : benchmark.workers) start_device(*worker, benchmark.board);
}

// True while some device has neither finished its timed part nor been lost.
bool benchmark_running(const Benchmark& benchmark) {
  for (std::size_t index = 0; index < benchmark.workers.size(); ++index) {
    if (!benchmark.results[index]->finished && !benchmark.workers[index]->lost) return true;
  }
  return false;
}

void print_benchmark_result(Benchmark& benchmark, double rate, std::uint64_t hashes, double seconds) {
  char line[160];
  std::snprintf(line, sizeof line, "\n\n  Result: %s (%llu hashes in %.1fs)\n\n", format_hash_rate(rate).c_str(),
                static_cast<unsigned long long>(hashes), seconds);
  console_say(benchmark.console, line);
}

void print_results(Benchmark& benchmark, std::int64_t start_ns) {
  const auto& results = benchmark.results;
  if (std::none_of(results.begin(), results.end(), [](const auto& result) { return result->timed.load(); })) {
    // Nothing was timed: a rate would be meaningless.
    console_say(benchmark.console, "  [*] Benchmark stopped before any batch was timed: no result\n\n");
    return;
  }
  if (results.size() == 1) {
    print_benchmark_result(benchmark, rate_of(*results[0]), results[0]->hashes, results[0]->seconds);
    return;
  }
  // The total rate is the sum of the devices' own rates: each has its own warm-up and clock.
  std::uint64_t hashes = 0;
  double rate = 0;
  std::string lines = "\n";
  for (std::size_t index = 0; index < results.size(); ++index) {
    hashes += results[index]->hashes;
    rate += rate_of(*results[index]);
    lines += "\n  Device " + std::to_string(benchmark.devices[index].opencl_index) + ": " +
             format_hash_rate(rate_of(*results[index])) + " (" + std::to_string(results[index]->hashes.load()) +
             " hashes)";
  }
  console_say(benchmark.console, lines);
  print_benchmark_result(benchmark, rate, hashes, elapsed_seconds(start_ns, monotonic_now_ns()));
}

}  // namespace

int run_benchmark(std::vector<RunDevice> devices, const Timings& timings) {
  Benchmark benchmark;
  benchmark.timings = &timings;
  benchmark.console.write = write_to_standard_output;
  benchmark.devices = std::move(devices);
  set_stop_listener([&benchmark] { poke_source(benchmark.board); });
  const std::int64_t start_ns = monotonic_now_ns();
  start_benchmark_devices(benchmark);
  auto next_progress = std::chrono::steady_clock::now() + several_devices_progress_interval;
  while (!g_stop_requested && benchmark_running(benchmark)) {
    wait_for_source_events(benchmark.board, next_progress);
    if (benchmark.devices.size() > 1 && std::chrono::steady_clock::now() >= next_progress) {
      if (const auto line = several_devices_progress(benchmark, start_ns)) console_progress(benchmark.console, *line);
      next_progress += several_devices_progress_interval;
    }
    if (benchmark.devices.size() == 1) next_progress = std::chrono::steady_clock::now() + std::chrono::hours(1);
  }
  close_board(benchmark.board);
  for (auto& worker : benchmark.workers) worker->thread.join();
  set_stop_listener({});
  print_results(benchmark, start_ns);
  bool any_lost = false;
  for (auto& worker : benchmark.workers) {
    for (const std::string& line : unreported_failures(worker->failures)) console_say(benchmark.console, line);
    if (worker->lost) console_say(benchmark.console, device_lost_line(timings.device_lost));
    any_lost = any_lost || worker->lost;
  }
  return any_lost ? 1 : 0;
}
