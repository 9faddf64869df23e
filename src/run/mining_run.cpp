#include "run/mining_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

#include "run/hash_rate.h"
#include "run/monotonic_clock.h"
#include "work/launch_watchdog.h"

namespace {

// With no fixed interval, the progress line comes every this many launches' worth of nonces
// (global size x 512) of a device.
constexpr std::uint64_t status_period_per_work_item = 512;

std::chrono::steady_clock::time_point deadline_after(double seconds) {
  const double bounded = std::clamp(seconds, 0.0, 3600.0);
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(bounded));
}

bool stop_requested(const MiningRun& run) { return run.stop->load(); }

// True when a launch that ended at next_nonce after nonces_done reached or crossed a multiple of
// the device's period (a failed launch: when the nonce stands on one).
bool status_period_reached(const MiningRun& run, std::size_t worker_index, std::uint32_t next_nonce,
                           std::uint32_t nonces_done) {
  const std::uint64_t period = std::uint64_t{run.devices[worker_index].device->global_size()} * status_period_per_work_item;
  // A period that does not fit in 32 bits (or is zero) would never match: every launch.
  if (period == 0 || period > UINT32_MAX) return true;
  const std::uint32_t previous = next_nonce - nonces_done;  // wraps modulo 2^32
  const std::uint64_t into_period = previous % period;
  return nonces_done == 0 ? into_period == 0 : into_period + nonces_done >= period;
}

// On a device's thread after each launch: the statistics, and the progress line when due.
void observe_launch(MiningRun& run, const LaunchReport& launch) {
  const std::int64_t now = run.clock();
  stats_record_batch(*run.stats, opencl_index_of(run, launch.worker_index), launch.nonces_done,
                     std::exchange(run.last_launch_end[launch.worker_index], now), now);
  if (launch.after_job_end || run.status_interval_seconds > 0 ||
      !status_period_reached(run, launch.worker_index, launch.next_nonce, launch.nonces_done)) {
    return;
  }
  {
    std::lock_guard lock(run.status_mutex);
    run.status_due = StatusPoint{launch.job->height, launch.next_nonce};
  }
  poke_source(run.board);
}

double rate_since_start(const MiningRun& run, std::uint64_t hashes) {
  return static_cast<double>(hashes) / elapsed_seconds(run.start_ns, run.clock());
}

// "65°C 40% 120W" for the figures known; empty when none is.
std::string sensor_text(const SensorReading& reading) {
  std::string text;
  const auto add = [&text](const std::optional<double>& value, const char* unit) {
    if (!value) return;
    char figure[32];
    std::snprintf(figure, sizeof figure, "%s%.0f%s", text.empty() ? "" : " ", *value, unit);
    text += figure;
  };
  add(reading.temperature_c, "\u00b0C");
  add(reading.fan_percent, "%");
  add(reading.power_watts, "W");
  return text;
}

// The progress line: the run's average rate, the source's figures and, with several devices,
// each device's own rate.
void print_status(MiningRun& run, WorkSource& source, const StatusPoint& point) {
  const std::optional<std::string> figures = source.status_figures(point, several_devices(run));
  if (!figures) return;
  std::string line = "  [" + format_hash_rate(rate_since_start(run, total_hashes(run))) + "] " + *figures;
  std::vector<SensorReading> readings;
  {
    std::lock_guard lock(run.sensor_mutex);
    readings = run.sensor_readings;
  }
  readings.resize(run.workers.size());
  if (several_devices(run)) {
    for (std::size_t index = 0; index < run.workers.size(); ++index) {
      line += "  #" + std::to_string(opencl_index_of(run, index)) + " " +
              format_hash_rate(rate_since_start(run, run.workers[index]->stats.hashes));
      const std::string sensors = sensor_text(readings[index]);
      if (!sensors.empty()) line += " " + sensors;
    }
  } else if (const std::string sensors = sensor_text(readings.front()); !sensors.empty()) {
    line += "  " + sensors;
  }
  console_progress(run.console, line + "   ");
}

std::string rates_text(const HashRates& rates) {
  return format_hash_rate(rates.last_10s) + " (10 s), " + format_hash_rate(rates.run) + " (run)";
}

// The log file's status line, in place of the progress lines it leaves out: the rates of the
// run and of each device, and the source's figures so far.
void log_status(MiningRun& run, WorkSource& source) {
  const StatsSnapshot snapshot = stats_snapshot(*run.stats, run.clock(), unix_time_now());
  std::string line = "  [*] Status: " + rates_text(snapshot.total_rates);
  for (const DeviceSnapshot& device : snapshot.devices) {
    line += "; device " + std::to_string(device.index) + ": " + (device.lost ? "lost" : rates_text(device.rates));
  }
  console_log_only(run.console, line + "; " + source.done_figures() + "\n");
}

void start_devices(MiningRun& run) {
  run.last_launch_end.assign(run.devices.size(), run.start_ns);
  run.lost_reported.assign(run.devices.size(), false);
  run.left_behind.assign(run.devices.size(), false);
  for (std::size_t index = 0; index < run.devices.size(); ++index) {
    const RunDevice& device = run.devices[index];
    stats_add_device(*run.stats, device.opencl_index, device.name, device.bus_id);
    auto worker = make_device_worker(index, device, several_devices(run), run.timings, run.clock);
    worker->say = [&run](const std::string& line) { run_say(run, line); };
    worker->observer = [&run](const LaunchReport& launch) { observe_launch(run, launch); };
    run.workers.push_back(std::move(worker));
  }
  for (auto& worker : run.workers) start_device(*worker, run.board);
}

// How the user tells the device apart from its identical neighbours.
std::string device_title(const MiningRun& run, std::size_t worker_index) {
  const RunDevice& device = run.devices[worker_index];
  return "Device " + std::to_string(device.opencl_index) + " (" + device.name + ", PCI " + device.bus_id + ")";
}

// A temperature as the console shows it ("85°C").
std::string degrees_text(double temperature_c) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f\u00b0C", temperature_c);
  return text;
}

// The temperature limit on each device's latest reading: pauses and resumes, each said once.
// The first time, it names the devices it cannot apply to, having no temperature to go by.
void apply_temperature_limit(MiningRun& run, const std::vector<SensorReading>& readings) {
  const TemperatureLimit& limit = *run.temperature_limit;
  for (std::size_t index = 0; index < readings.size(); ++index) {
    DeviceWorker& worker = *run.workers[index];
    const std::optional<double> temperature = readings[index].temperature_c;
    if (!temperature && !run.temperature_limit_checked) {
      run_say(run, "  [!] " + device_title(run, index) +
                       ": no temperature reading, so the temperature limit does not apply to it\n");
    }
    const bool paused = paused_for_temperature(limit, worker.paused, temperature);
    if (paused == worker.paused) continue;
    worker.paused = paused;
    stats_record_temperature_pause(*run.stats, opencl_index_of(run, index), paused, run.clock());
    if (paused) {
      run_say(run, "\n  [!] " + device_title(run, index) + " paused: " + degrees_text(*temperature) +
                       " reached the limit of " + degrees_text(limit.pause_at_c) + "; it resumes at " +
                       degrees_text(limit.resume_at_c) + "\n");
    } else {
      wake_devices(run.board);
      run_say(run, "\n  [*] " + device_title(run, index) + " resumed: " +
                       (temperature ? degrees_text(*temperature) : std::string("no temperature reading")) + "\n");
    }
  }
  run.temperature_limit_checked = true;
}

// The sensor thread's loop: every device's reading into the statistics and the run, the
// temperature limit, then a wait for the next interval or the end.
void read_sensors_until_stopped(MiningRun& run) {
  const auto interval = std::chrono::duration<double>(std::max(run.timings.sensor_interval, 0.01));
  std::unique_lock lock(run.sensor_mutex);
  while (!run.sensors_stopping) {
    lock.unlock();
    std::vector<SensorReading> readings;
    for (std::size_t index = 0; index < run.devices.size(); ++index) {
      readings.push_back(run.read_sensors(index));
      stats_record_sensors(*run.stats, opencl_index_of(run, index), readings.back());
    }
    if (run.temperature_limit) apply_temperature_limit(run, readings);
    lock.lock();
    run.sensor_readings = std::move(readings);
    run.sensor_wake.wait_for(lock, interval, [&run] { return run.sensors_stopping; });
  }
  run.sensors_done = true;
  run.sensor_wake.notify_all();
}

void start_sensors(MiningRun& run) {
  if (!run.read_sensors) return;
  run.sensor_thread = std::thread([&run] { read_sensors_until_stopped(run); });
}

// Ends the sensor thread, waiting for a reading under way as long as for the devices' launches;
// a reading that takes longer is stuck in its driver, and the thread is left behind.
void stop_sensors(MiningRun& run) {
  if (!run.sensor_thread.joinable()) return;
  std::unique_lock lock(run.sensor_mutex);
  run.sensors_stopping = true;
  run.sensor_wake.notify_all();
  const auto wait = std::chrono::duration<double>(std::clamp(run.timings.device_stop_wait, 0.0, 3600.0));
  if (!run.sensor_wake.wait_for(lock, wait, [&run] { return run.sensors_done; })) {
    run.sensors_left_behind = true;
    run.sensor_thread.detach();
    return;
  }
  lock.unlock();
  run.sensor_thread.join();
}

// A hung device is not waited for: its thread may never come back.
bool devices_not_hung_finished(const MiningRun& run) {
  return std::all_of(run.workers.begin(), run.workers.end(),
                     [](const auto& worker) { return worker->finished || worker->hung; });
}

// Devices finish their running launch and their threads end. A thread still inside a call into
// its device after device_stop_wait is left behind, since a hung driver may never return it.
void stop_devices(MiningRun& run) {
  close_board(run.board);
  const auto deadline = deadline_after(run.timings.device_stop_wait);
  while (!devices_not_hung_finished(run) && wait_for_poke(run.board, deadline)) {
  }
  for (std::size_t index = 0; index < run.workers.size(); ++index) {
    DeviceWorker& worker = *run.workers[index];
    // A thread outside a device call ends at once now that the board is closed, unless it
    // starts one more call (collecting what it queued), where it is left behind.
    while (!worker.finished && !abandon_if_in_a_device_call(worker)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (worker.finished) {
      worker.thread.join();
      continue;
    }
    worker.thread.detach();
    run.left_behind[index] = true;
    if (!worker.hung) {
      char wait_text[32];
      std::snprintf(wait_text, sizeof wait_text, "%g", run.timings.device_stop_wait);
      run_say(run, "\n  [!] " + device_title(run, index) + " did not finish its launch within " + wait_text +
                       " s of the stop; left behind\n");
    }
  }
}

bool some_device_works(const MiningRun& run) {
  return std::any_of(run.workers.begin(), run.workers.end(),
                     [](const auto& worker) { return !worker->hung && !worker->lost; });
}

// Marks each device whose call into it has not come back within its limit as hung, and says so
// once. Returns the seconds until another device could pass its limit.
double watch_devices(MiningRun& run) {
  const std::int64_t now = run.clock();
  double next_check = 3600;
  for (std::size_t index = 0; index < run.workers.size(); ++index) {
    DeviceWorker& worker = *run.workers[index];
    const std::int64_t call_started = worker.call_started_ns;
    if (worker.hung || worker.lost || worker.finished || call_started == no_device_call) continue;
    const double limit = hung_limit_seconds(run.timings.hung_launch, worker.median_launch_ns);
    const double left = seconds_until_hung(call_started, now, limit);
    if (left > 0) {
      next_check = std::min(next_check, left);
      continue;
    }
    worker.hung = true;
    stats_record_device_hung(*run.stats, opencl_index_of(run, index));
    const bool others_go_on = !run.watchdog_exit && some_device_works(run);
    char limit_text[32];
    std::snprintf(limit_text, sizeof limit_text, "%.3g", limit);
    run_say(run, "\n  [!] " + device_title(run, index) + " hung: a launch has not completed in " + limit_text + " s" +
                     (others_go_on ? "; the other devices go on" : "") + "\n");
  }
  return next_check;
}

bool any_device_hung(const MiningRun& run) {
  return std::any_of(run.workers.begin(), run.workers.end(), [](const auto& worker) { return worker->hung.load(); });
}

// True while some device is neither lost nor hung. A lost device is recorded in the statistics
// once; with several devices it is also said once.
bool working_device_left(MiningRun& run) {
  const bool working = some_device_works(run);
  for (std::size_t index = 0; index < run.workers.size(); ++index) {
    if (!run.workers[index]->lost || run.lost_reported[index]) continue;
    run.lost_reported[index] = true;
    stats_record_device_lost(*run.stats, opencl_index_of(run, index));
    if (several_devices(run)) {
      char line[160];
      std::snprintf(line, sizeof line, "\n  [!] Device %d lost: every batch failed for %g s%s\n",
                    opencl_index_of(run, index), run.timings.device_lost, working ? "; the other devices go on" : "");
      run_say(run, line);
    }
  }
  return working;
}

// The devices' pending failure counts, of those whose thread has ended.
void print_unreported_failures(MiningRun& run) {
  for (const auto& worker : run.workers) {
    if (!worker->finished) continue;
    for (const std::string& line : unreported_failures(worker->failures)) run_say(run, line);
  }
}

// The line that ends a run on a hung device. A driver that hung once tends to hang again, and
// sometimes only a restart of the driver or the machine brings the device back.
std::string hung_exit_line(bool watchdog_exit) {
  return std::string("\n  [!] ") + (watchdog_exit ? "A device hung (--watchdog-exit)" : "No working device left") +
         ". Stopping with exit code 3; restart the miner, and the GPU driver or the machine if it hangs again\n";
}

// Checks each found nonce on the CPU: a candidate goes to the source at once, a hash that
// misses its target is counted against the device and goes nowhere.
void check_found(MiningRun& run, WorkSource& source, const std::deque<FoundNonce>& found_nonces) {
  for (const FoundNonce& found : found_nonces) {
    const std::optional<JobCheck> job = source.job_to_check(found);
    if (!job) continue;
    Candidate candidate{found, opencl_index_of(run, found.worker_index), job->header, {}};
    store_u32_le(candidate.header.data() + header_nonce_offset, found.nonce);
    candidate.hash = pow_hash(candidate.header);
    if (!hash_meets_target(candidate.hash, job->target)) {
      const std::string device_text =
          several_devices(run) ? " on device " + std::to_string(candidate.opencl_index) : std::string();
      run_say(run, "  [!] CPU rejected hash" + device_text + "\n");
      stats_record_cpu_rejected(*run.stats, candidate.opencl_index);
      continue;
    }
    source.take_candidate(candidate);
  }
}

}  // namespace

void prepare_run(MiningRun& run, std::vector<RunDevice> devices, const Timings& timings, MiningStats& stats,
                 const std::atomic<bool>& stop) {
  run.timings = timings;
  run.clock = monotonic_now_ns;
  run.console.write = write_to_standard_output;
  run.stats = &stats;
  run.stop = &stop;
  run.devices = std::move(devices);
}

int mine(MiningRun& run, WorkSource& source) {
  run.start_ns = run.clock();
  stats_start(*run.stats, run.start_ns, run.timings.stats_history_interval);
  start_devices(run);
  start_sensors(run);

  bool source_failed = false;
  std::int64_t next_status_ns = run.start_ns + static_cast<std::int64_t>(run.status_interval_seconds * 1e9);
  const bool status_logged = run.console.log != nullptr && run.timings.status_log_interval > 0;
  const auto status_log_ns = static_cast<std::int64_t>(run.timings.status_log_interval * 1e9);
  std::int64_t next_status_log_ns = run.start_ns + status_log_ns;
  while (!stop_requested(run)) {
    const double next_watch_seconds = watch_devices(run);
    if (!working_device_left(run) || (run.watchdog_exit && any_device_hung(run))) break;
    std::int64_t now = run.clock();
    double wait_seconds = std::min(source.seconds_until_next_turn(now), next_watch_seconds);
    if (run.status_interval_seconds > 0) {
      wait_seconds = std::min(wait_seconds, static_cast<double>(next_status_ns - now) / 1e9);
    }
    if (status_logged) wait_seconds = std::min(wait_seconds, static_cast<double>(next_status_log_ns - now) / 1e9);
    const SourceEvents events = wait_for_source_events(run.board, deadline_after(wait_seconds));
    check_found(run, source, events.found);
    std::optional<StatusPoint> status_due;
    {
      std::lock_guard lock(run.status_mutex);
      status_due = std::exchange(run.status_due, std::nullopt);
    }
    if (status_due) print_status(run, source, *status_due);
    if (stop_requested(run)) break;
    now = run.clock();
    if (source.turn(events, now) == TurnOutcome::fail) {
      source_failed = true;
      break;
    }
    if (run.status_interval_seconds > 0 && run.clock() >= next_status_ns) {
      print_status(run, source, {});
      next_status_ns = run.clock() + static_cast<std::int64_t>(run.status_interval_seconds * 1e9);
    }
    if (status_logged && run.clock() >= next_status_log_ns) {
      log_status(run, source);
      next_status_log_ns = run.clock() + status_log_ns;
    }
  }

  stop_devices(run);
  stop_sensors(run);
  if (!working_device_left(run) || (run.watchdog_exit && any_device_hung(run))) {
    print_unreported_failures(run);
    if (any_device_hung(run)) {
      run_say(run, hung_exit_line(run.watchdog_exit));
      return hung_device_exit_code;
    }
    run_say(run, device_lost_line(run.timings.device_lost));
    return 1;
  }
  if (source_failed) return 1;
  // Nonces found in the devices' last launches still count.
  check_found(run, source, wait_for_source_events(run.board, std::chrono::steady_clock::now()).found);
  source.wind_down();
  const std::uint64_t hashes = total_hashes(run);
  run_say(run, "\n  [*] Done. " + std::to_string(hashes) + " hashes, " + source.done_figures() + "\n");
  run_say(run, run_summary_line(hashes, elapsed_seconds(run.start_ns, run.clock())) + "\n");
  return 0;
}

namespace {

// The workers and devices of threads left behind, which may use them for as long as the process
// lives: never destroyed, and reachable from here, so that leak checkers see them as kept.
struct KeptForLeftBehindThreads {
  std::mutex mutex;
  std::vector<std::unique_ptr<DeviceWorker>> workers;
  std::vector<std::unique_ptr<MiningDevice>> devices;
};

KeptForLeftBehindThreads& kept_for_left_behind_threads() {
  static auto* kept = new KeptForLeftBehindThreads;
  return *kept;
}

}  // namespace

MiningRun::~MiningRun() {
  for (std::size_t index = 0; index < left_behind.size(); ++index) {
    if (!left_behind[index]) continue;
    KeptForLeftBehindThreads& kept = kept_for_left_behind_threads();
    std::lock_guard lock(kept.mutex);
    kept.workers.push_back(std::move(workers[index]));
    kept.devices.push_back(std::move(devices[index].device));
  }
}

std::unique_ptr<DeviceWorker> make_device_worker(std::size_t worker_index, const RunDevice& device,
                                                 bool several_devices, const Timings& timings, MonotonicClock clock) {
  auto worker = std::make_unique<DeviceWorker>();
  worker->worker_index = worker_index;
  worker->device = device.device.get();
  worker->clock = std::move(clock);
  worker->failed_batch_pause_seconds = timings.failed_batch_pause;
  worker->failed_queue_pause_seconds = timings.failed_queue_pause;
  worker->failures.lost_after_seconds = timings.device_lost;
  worker->failures.errors.report_interval_seconds = timings.failure_report_interval;
  if (several_devices) worker->failures.device_label = "Device " + std::to_string(device.opencl_index) + ": ";
  return worker;
}

void run_say(MiningRun& run, std::string_view lines) { console_say(run.console, lines); }

bool several_devices(const MiningRun& run) { return run.devices.size() > 1; }

std::int32_t opencl_index_of(const MiningRun& run, std::size_t worker_index) {
  return run.devices[worker_index].opencl_index;
}

bool threads_were_left_behind(const MiningRun& run) {
  return run.sensors_left_behind ||
         std::find(run.left_behind.begin(), run.left_behind.end(), true) != run.left_behind.end();
}

std::uint64_t total_hashes(const MiningRun& run) {
  std::uint64_t total = 0;
  for (const auto& worker : run.workers) total += worker->stats.hashes;
  return total;
}
