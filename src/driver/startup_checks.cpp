#include "driver/startup_checks.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "chain/address_problem.h"
#include "stats/url_without_credentials.h"
#include "stratum/tls_fingerprint.h"

namespace {

constexpr const char* schemes_taken =
    "http:// or https:// for the node, stratum+tcp:// or over TLS stratum+ssl:// for a pool";

// A URL as console lines show it: without "user:password@", printable.
std::string shown_url(std::string_view url) { return shown_setting(url_without_credentials(url)); }

// False, after saying why, when the scheme is not one the miner takes; else the scheme in lower case.
bool settle_scheme(std::string& url) {
  if (url_kind(url) == UrlKind::unsupported) {
    std::printf("  [!] %s: the miner does not take %s:// URLs; it takes %s\n", shown_url(url).c_str(),
                std::string(url_scheme(url)).c_str(), schemes_taken);
    return false;
  }
  url = with_lower_case_scheme(url);
  return true;
}

}  // namespace

bool check_payout_address(const std::string& address, ConsoleWriter& console) {
  const AddressDecoding decoding = decode_address_explained(address);
  if (!decoding.script.empty()) return true;
  console_say(console, "  [!] Bad address\n  [!] The payout address " + address + " does not decode: " +
                           decoding.explanation + "\n");
  return false;
}

KernelFileChoice choose_kernel_file(const MinerOptions& options, const std::filesystem::path& executable) {
  KernelFileChoice choice{options.kernel_path, {}, true};
  if (options.kernel_path_given) return choice;
  std::error_code error;
  choice.looked_at.push_back(std::filesystem::absolute(options.kernel_path, error));
  if (!executable.empty() && executable.parent_path() != std::filesystem::current_path(error)) {
    choice.looked_at.push_back(executable.parent_path() / options.kernel_path);
  }
  for (std::size_t index = 0; index < choice.looked_at.size(); ++index) {
    if (std::ifstream(choice.looked_at[index], std::ios::binary).is_open()) {
      // The working directory's file keeps the name as given, which is what set-up reports.
      if (index > 0) choice.path = choice.looked_at[index].string();
      return choice;
    }
  }
  choice.found = false;
  return choice;
}

std::string kernel_not_found_hint(const KernelFileChoice& choice) {
  std::string places;
  for (std::size_t index = 0; index < choice.looked_at.size(); ++index) {
    if (index > 0) places += index + 1 == choice.looked_at.size() ? " and " : ", ";
    places += choice.looked_at[index].string();
  }
  return "Looked for the kernel file at " + places + "; give its path with -k PATH";
}

bool apply_cpu_device_work_size(MinerOptions& options, bool device_is_gpu) {
  if (device_is_gpu) return false;
  bool replaced = false;
  if (!options.global_work_size_given) {
    options.global_work_size = cpu_device_global_work_size;
    replaced = true;
  }
  if (!options.local_work_size_given) {
    options.local_work_size = cpu_device_local_work_size;
    replaced = true;
  }
  return replaced;
}

bool settle_url_schemes(MinerOptions& options) {
  if (!settle_scheme(options.rpc_url)) return false;
  // "-o" sends pool URLs to the pool list; only the configuration file's rpc_url can hold one.
  if (url_kind(options.rpc_url) == UrlKind::pool) {
    std::printf("  [!] rpc_url=%s is a pool's URL: give pools with -o or pool_url=, the node with %s\n",
                shown_url(options.rpc_url).c_str(), "http:// or https://");
    return false;
  }
  for (PoolOption& pool : options.pools) {
    if (!settle_scheme(pool.url)) return false;
  }
  return true;
}

std::optional<PoolLogin> pool_login(const MinerOptions& options, ConsoleWriter& console) {
  PoolLogin login;
  for (const PoolOption& option : options.pools) {
    auto pool = parse_pool_url(option.url);
    if (!pool) {
      // The worker and password go with -u and -p; a URL that carries them is not taken.
      const bool has_credentials = url_without_credentials(option.url) != option.url;
      console_say(console, "  [!] Bad pool URL: " + shown_url(option.url) + " (expected " +
                               std::string(url_scheme(option.url)) + "://HOST:PORT" +
                               (has_credentials ? ", with the worker and password in -u and -p" : "") + ")\n");
      return std::nullopt;
    }
    // Pools usually take the payout address as the worker name.
    pool->worker = option.user.value_or(options.rpc_user);
    if (pool->worker.empty()) pool->worker = options.address;
    pool->password = option.password.value_or(options.rpc_password);
    if (pool->password.empty()) pool->password = "x";
    if (pool->worker.empty()) {
      console_say(console, "  [!] Pool worker required (-u WORKER, usually the payout address)\n");
      return std::nullopt;
    }
    if (!pool->tls && option.tls_fingerprint) {
      console_say(console, "  [!] --tls-fingerprint is for TLS pools; " + shown_url(option.url) + " is plain TCP\n");
      return std::nullopt;
    }
    // A default pin applies to the TLS pools without their own.
    const std::string pin = pool->tls ? option.tls_fingerprint.value_or(options.tls_fingerprint) : std::string();
    if (!pin.empty()) {
      const std::optional<std::string> fingerprint = normalized_fingerprint(pin);
      if (!fingerprint) {
        console_say(console, "  [!] --tls-fingerprint for " + shown_url(option.url) +
                                 " needs the certificate's SHA-256 as 64 hex digits (colons between the bytes "
                                 "allowed): " + shown_setting(pin) + "\n");
        return std::nullopt;
      }
      pool->tls_fingerprint = *fingerprint;
    }
    login.pools.push_back(std::move(*pool));
  }
  return login;
}

namespace {

// Default settings with the test-only overrides of the environment variable applied; nothing
// (after saying why) when the variable's text is refused.
template <typename Settings, typename Apply>
std::optional<Settings> settings_with_overrides(const char* variable, Apply apply) {
  Settings settings;
  const char* overrides = std::getenv(variable);
  std::string problem;
  if (overrides != nullptr && !apply(settings, overrides, problem)) {
    std::printf("  [!] %s: %s\n", variable, problem.c_str());
    return std::nullopt;
  }
  return settings;
}

}  // namespace

std::optional<Timings> timings_from_environment() {
  return settings_with_overrides<Timings>(test_timings_variable, apply_timing_overrides);
}

std::optional<SensorSettings> sensor_settings_from_environment() {
  return settings_with_overrides<SensorSettings>(test_sensors_variable, apply_sensor_test_settings);
}

bool temperature_limit_from_options(const MinerOptions& options, std::optional<TemperatureLimit>& limit,
                                    ConsoleWriter& console) {
  limit.reset();
  if (!options.temp_limit_given) {
    if (options.temp_resume_given) console_say(console, "  [!] --temp-resume needs --temp-limit\n");
    return !options.temp_resume_given;
  }
  constexpr std::int32_t hottest_limit = 150;
  if (options.temp_limit < 1 || options.temp_limit > hottest_limit) {
    console_say(console, "  [!] --temp-limit needs a temperature of 1 to 150 degrees Celsius, such as 80: " +
                             std::to_string(options.temp_limit) + "\n");
    return false;
  }
  const std::int32_t resume = options.temp_resume_given ? options.temp_resume : options.temp_limit - 5;
  if (resume >= options.temp_limit) {
    console_say(console, "  [!] --temp-resume must be below --temp-limit (" + std::to_string(options.temp_limit) +
                             "): " + std::to_string(resume) + "\n");
    return false;
  }
  limit = TemperatureLimit{static_cast<double>(options.temp_limit), static_cast<double>(resume)};
  return true;
}

bool open_log_file(const MinerOptions& options, LogFile& log) {
  const std::optional<std::uint64_t> limit = log_limit_bytes(options.log_max_mb);
  if (!limit) {
    std::printf("  [!] --log-max-mb needs a size in MB above 0, such as 20 or 0.5: %s\n",
                shown_setting(options.log_max_mb).c_str());
    return false;
  }
  if (options.log_file.empty()) return true;
  std::string problem;
  if (!open_log(log, LogFileSettings{.path = options.log_file, .limit_bytes = *limit}, problem)) {
    std::printf("  [!] Cannot open the log file %s: %s\n", shown_setting(options.log_file).c_str(), problem.c_str());
    return false;
  }
  return true;
}
