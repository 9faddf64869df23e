#pragma once
// Checks made before any work starts, so that a mistake in the set-up is reported at once with
// what to do about it, instead of surfacing later as a silent retry or a bare failure.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "driver/miner_options.h"
#include "pool/pool_source.h"
#include "run/console_writer.h"
#include "run/log_file.h"
#include "run/temperature_limit.h"
#include "run/timings.h"
#include "sensors/device_sensors.h"

// Decodes the payout address; when it does not decode, prints "Bad address" and the reason and
// returns false.
bool check_payout_address(const std::string& address, ConsoleWriter& console);

struct KernelFileChoice {
  std::string path;                              // the kernel file set-up is to read
  std::vector<std::filesystem::path> looked_at;  // full paths tried, when -k was not given
  bool found = true;                             // false when none of them could be opened
};

// With -k, that path as given. Without it, the kernel file in the working directory when it is
// there, else the one beside the executable (a program started from another folder finds its
// kernel); when neither exists, the default name, which set-up then reports it cannot read.
KernelFileChoice choose_kernel_file(const MinerOptions& options, const std::filesystem::path& executable);

// The console line for a kernel file that was not found: every path looked at, and what to do.
std::string kernel_not_found_hint(const KernelFileChoice& choice);

// Work size for a device that is not a GPU: batches of about a million nonces, so that status
// lines and a stop come within a second or so instead of after half a minute.
inline constexpr std::int32_t cpu_device_global_work_size = 8192;
inline constexpr std::int32_t cpu_device_local_work_size = 64;

// For a device that is not a GPU, replaces each work size that was not given on the command line
// by the CPU device's; returns true when it replaced one.
bool apply_cpu_device_work_size(MinerOptions& options, bool device_is_gpu);

// Refuses a URL whose scheme the miner does not take, and a pool's URL given as the node's, each
// with a line that names the schemes it takes; false after a refusal. Otherwise writes the
// schemes in lower case, the way the node client and the pool's URL reader expect them.
bool settle_url_schemes(MinerOptions& options);

// The pools of options.pool_urls and the worker's login, checked before any device is set up; a
// bad pool URL or a missing worker name prints what to give and returns nothing.
std::optional<PoolLogin> pool_login(const MinerOptions& options, ConsoleWriter& console);

// The timings with the test-only overrides of VELTRANE_TEST_TIMINGS applied; nothing, after
// saying why, when the variable holds something else than "name=seconds" items.
std::optional<Timings> timings_from_environment();

// The temperature limit the options ask for into limit (nothing without --temp-limit); false,
// after saying why, for a limit outside 1 .. 150 °C or a resume temperature not below it.
bool temperature_limit_from_options(const MinerOptions& options, std::optional<TemperatureLimit>& limit,
                                    ConsoleWriter& console);
// The sensors' settings, with the test-only overrides of VELTRANE_TEST_SENSORS; nothing (after
// saying why) when that variable names an unknown setting.
std::optional<SensorSettings> sensor_settings_from_environment();

// Checks --log-max-mb and, with --log-file, opens the log file and starts its writer; false after
// saying what is wrong (a size that is not a number above 0, a path that cannot be opened).
bool open_log_file(const MinerOptions& options, LogFile& log);
