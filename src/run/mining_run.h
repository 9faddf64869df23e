#pragma once
// One mining run, whichever source feeds it: a thread per device searching the source's jobs,
// the CPU check of every reported nonce, per-device statistics, the progress line and every
// console line through one writer, lost devices, and the wind-down. The devices' handles belong
// to the run and are released when it is destroyed, on every path.
//
// The run's thread waits in one place (the job board) for found nonces, news from the source's
// helper threads, a lost device, a progress line due or the stop request, and otherwise until
// the source's next turn is due or a device's launch could pass the watchdog's limit.
//
// A device whose launch has not completed within that limit is hung: its thread is stuck in the
// driver and may never come back, so it is never waited for. At the end such threads are left
// behind with their devices, and the process should then end without any clean-up that could
// call into the driver (see threads_were_left_behind).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "run/console_writer.h"
#include "run/timings.h"
#include "run/temperature_limit.h"
#include "run/work_source.h"
#include "sensors/sensor_reading.h"
#include "stats/mining_stats.h"
#include "work/device_worker.h"
#include "work/job_board.h"
#include "work/mining_device.h"

// The exit code when a device hung and no working device is left, or at the first hung device
// with watchdog_exit: a supervisor restarts the miner on it.
inline constexpr int hung_device_exit_code = 3;

struct MiningRun {
  Timings timings;
  MonotonicClock clock;   // monotonic nanoseconds
  ConsoleWriter console;  // every line of the run and its sources
  MiningStats* stats = nullptr;
  const std::atomic<bool>* stop = nullptr;  // the user's stop request; whoever sets it pokes the board
  // The progress line comes every this many seconds; 0: whenever a device's launch reaches a
  // multiple of (its global size x 512) nonces.
  double status_interval_seconds = 0;
  bool watchdog_exit = false;  // the first hung device ends the run with hung_device_exit_code
  // Reads a device's sensors (by worker index) every timings.sensor_interval seconds, on a
  // thread of its own, so that a slow driver library never holds up mining. Empty: no sensors.
  std::function<SensorReading(std::size_t worker_index)> read_sensors;
  // --temp-limit: devices pause at the limit and resume when cooled, by the sensors' readings.
  std::optional<TemperatureLimit> temperature_limit;

  JobBoard board;
  std::vector<RunDevice> devices;  // released when the run is destroyed
  std::vector<std::unique_ptr<DeviceWorker>> workers;  // one per device, while mine runs
  std::int64_t start_ns = 0;

  // Handed from the device threads to the run's thread.
  std::mutex status_mutex;
  std::optional<StatusPoint> status_due;  // under status_mutex
  std::vector<std::int64_t> last_launch_end;  // element w written by worker w's thread only
  std::vector<bool> lost_reported;            // the run's thread only

  // The sensor thread and the latest readings, by worker index.
  std::thread sensor_thread;
  std::mutex sensor_mutex;
  std::condition_variable sensor_wake;
  bool sensors_stopping = false;             // under sensor_mutex
  bool sensors_done = false;                 // under sensor_mutex: the sensor thread has ended its loop
  // The sensor thread was still inside a reading when the run ended (a hung driver hangs its
  // management library too): detached, never joined.
  bool sensors_left_behind = false;
  std::vector<SensorReading> sensor_readings;  // under sensor_mutex
  bool temperature_limit_checked = false;      // the sensor thread only: the devices without a temperature were named
  // By worker index: the device's thread was still inside a call into the device when the run
  // ended. It was detached, and its worker and device are never destroyed, since the thread may
  // still use them; the process should end soon after without clean-up.
  std::vector<bool> left_behind;

  MiningRun() = default;
  MiningRun(const MiningRun&) = delete;
  MiningRun& operator=(const MiningRun&) = delete;
  ~MiningRun();  // releases the devices, but for those left behind
};

// A run on the devices with the real clock, the console and the given timings and stop flag.
void prepare_run(MiningRun& run, std::vector<RunDevice> devices, const Timings& timings, MiningStats& stats,
                 const std::atomic<bool>& stop);

// Mines until a stop is requested, no working device is left or the source fails; returns the
// exit code: 0 after a stop (with the "Done." lines), 1 when every device was lost or the source
// failed, hung_device_exit_code when a device hung and none works any more (or at once with
// watchdog_exit). The device threads have ended when it returns, but for those left behind.
int mine(MiningRun& run, WorkSource& source);

// A worker for the device, with the timings' pauses and failure limits; with several devices its
// failure lines name the device. Its say and observer are the caller's to set.
std::unique_ptr<DeviceWorker> make_device_worker(std::size_t worker_index, const RunDevice& device,
                                                 bool several_devices, const Timings& timings, MonotonicClock clock);

// Helpers for sources.
void run_say(MiningRun& run, std::string_view lines);
bool several_devices(const MiningRun& run);
std::int32_t opencl_index_of(const MiningRun& run, std::size_t worker_index);
std::uint64_t total_hashes(const MiningRun& run);
// True when a device's thread (see left_behind) or the sensor thread was left behind at the end
// of the run: the process should end without clean-up.
bool threads_were_left_behind(const MiningRun& run);
