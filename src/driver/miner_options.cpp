#include "driver/miner_options.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "program_version.h"
#include "run/log_file.h"
#include "stratum/stratum_message.h"

std::string_view url_scheme(std::string_view url) {
  const std::size_t separator = url.find("://");
  if (separator == std::string_view::npos || separator == 0) return {};
  const std::string_view scheme = url.substr(0, separator);
  // Letters, digits, "+", "-" and ".", starting with a letter; anything else before "://" is part
  // of a host or path ("node:8899/x://y" has no scheme).
  const auto is_letter = [](char character) {
    return (character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z');
  };
  if (!is_letter(scheme.front())) return {};
  for (const char character : scheme) {
    if (!is_letter(character) && !(character >= '0' && character <= '9') && character != '+' && character != '-' &&
        character != '.') {
      return {};
    }
  }
  return scheme;
}

std::string with_lower_case_scheme(std::string_view url) {
  std::string lowered(url);
  const std::size_t scheme_length = url_scheme(url).size();
  for (std::size_t index = 0; index < scheme_length; ++index) {
    if (lowered[index] >= 'A' && lowered[index] <= 'Z') lowered[index] = static_cast<char>(lowered[index] - 'A' + 'a');
  }
  return lowered;
}

UrlKind url_kind(std::string_view url) {
  const std::string lowered = with_lower_case_scheme(url);
  const std::string_view scheme = url_scheme(lowered);
  if (scheme.empty() || scheme == "http" || scheme == "https") return UrlKind::node;
  if (scheme == "stratum+tcp" || scheme == "stratum+ssl" || scheme == "stratum+tls") return UrlKind::pool;
  return UrlKind::unsupported;
}

std::string shown_setting(std::string_view text) {
  constexpr std::size_t longest_shown = 80;
  constexpr std::size_t cut_mark = 3;  // "..." after a cut text
  return printable_pool_text(text, longest_shown - cut_mark);
}

std::int32_t parse_option_number(std::string_view text) {
  std::size_t position = 0;
  // The same white space that isspace() accepts in the "C" locale.
  while (position < text.size() && std::string_view(" \t\n\v\f\r").find(text[position]) != std::string_view::npos) {
    ++position;
  }
  bool negative = false;
  if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
    negative = text[position] == '-';
    ++position;
  }
  // Accumulate the magnitude, stopping to grow once it is past the 32-bit range, so that any
  // number of digits clamps instead of overflowing.
  constexpr std::int64_t magnitude_limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
    if (magnitude <= magnitude_limit) magnitude = magnitude * 10 + (text[position] - '0');
    ++position;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

namespace {

constexpr std::string_view config_keys =
    "rpc_url, rpc_user, rpc_password, rpc_cookie, address, coinbase, api_listen, log_file, log_max_mb, pool_url, "
    "pool_user, pool_password, pool_tls_fingerprint";

// "-d": one index as before, a comma-separated list, or "all".
void set_devices(std::string_view value, MinerOptions& options) {
  options.all_devices = value == "all";
  options.device_ids.clear();
  if (value.find(',') != std::string_view::npos) {
    while (true) {
      const std::size_t comma = value.find(',');
      options.device_ids.push_back(parse_option_number(value.substr(0, comma)));
      if (comma == std::string_view::npos) break;
      value.remove_prefix(comma + 1);
    }
    options.device_id = options.device_ids.front();
  } else if (!options.all_devices) {
    options.device_id = parse_option_number(value);
  }
}

// "-o": a pool's URL adds a pool (repeatable: each further pool is a failover); any other value
// is the node's URL.
void set_node_or_pool_url(std::string_view value, MinerOptions& options) {
  if (url_kind(value) == UrlKind::pool) {
    options.pools.emplace_back().url = value;
  } else {
    options.rpc_url = value;
  }
}

// "-u", "-p" and "--tls-fingerprint" after a pool's URL are that pool's; before the first one they
// are the defaults (and the node's user and password).
template <std::optional<std::string> PoolOption::*pool_field, std::string MinerOptions::*default_field>
void set_pool_or_default(std::string_view value, MinerOptions& options) {
  if (options.pools.empty()) {
    options.*default_field = value;
  } else {
    options.pools.back().*pool_field = std::string(value);
  }
}

void switch_off_longpoll(MinerOptions& options) { options.longpoll = false; }
void switch_off_kernel_cache(MinerOptions& options) { options.kernel_cache = false; }

// Where an option goes: a field (text, a number read like atol, or a switch set to true), or a
// function for options with a reading of their own.
using ValueSetter = void (*)(std::string_view, MinerOptions&);
using SwitchSetter = void (*)(MinerOptions&);
using OptionTarget = std::variant<std::string MinerOptions::*, std::int32_t MinerOptions::*, bool MinerOptions::*,
                                  ValueSetter, SwitchSetter>;

struct KnownOption {
  std::string_view name;
  OptionTarget target;
  bool MinerOptions::*given = nullptr;  // set when the option appears, for options whose default depends on it
};

const KnownOption known_options[] = {
    {"-o", ValueSetter{set_node_or_pool_url}},
    {"-u", ValueSetter{set_pool_or_default<&PoolOption::user, &MinerOptions::rpc_user>}},
    {"-p", ValueSetter{set_pool_or_default<&PoolOption::password, &MinerOptions::rpc_password>}},
    {"--tls-fingerprint",
     ValueSetter{set_pool_or_default<&PoolOption::tls_fingerprint, &MinerOptions::tls_fingerprint>}},
    {"-a", &MinerOptions::address},
    {"-k", &MinerOptions::kernel_path, &MinerOptions::kernel_path_given},
    {"--rpc-cookie", &MinerOptions::rpc_cookie},
    {"-P", &MinerOptions::platform_id},
    {"-d", ValueSetter{set_devices}, &MinerOptions::devices_given},
    {"-G", &MinerOptions::global_work_size, &MinerOptions::global_work_size_given},
    {"-L", &MinerOptions::local_work_size, &MinerOptions::local_work_size_given},
    {"--benchmark", &MinerOptions::benchmark},
    {"--list-gpus", &MinerOptions::list_gpus},
    {"--no-longpoll", SwitchSetter{switch_off_longpoll}},
    {"--api-listen", &MinerOptions::api_listen},
    {"--log-file", &MinerOptions::log_file},
    {"--log-max-mb", &MinerOptions::log_max_mb},
    {"--no-kernel-cache", SwitchSetter{switch_off_kernel_cache}},
    {"--autotune", &MinerOptions::autotune},
    {"--watchdog-exit", &MinerOptions::watchdog_exit},
    {"--temp-limit", &MinerOptions::temp_limit, &MinerOptions::temp_limit_given},
    {"--temp-resume", &MinerOptions::temp_resume, &MinerOptions::temp_resume_given},
};

const KnownOption* find_option(std::string_view name) {
  for (const KnownOption& option : known_options) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

// The keys that set a setting of the pool_url line before them.
std::optional<std::string> PoolOption::* pool_config_field(std::string_view key) {
  if (key == "pool_user") return &PoolOption::user;
  if (key == "pool_password") return &PoolOption::password;
  if (key == "pool_tls_fingerprint") return &PoolOption::tls_fingerprint;
  return nullptr;
}

std::string* config_field(std::string_view key, MinerOptions& options) {
  if (key == "rpc_url") return &options.rpc_url;
  if (key == "rpc_user") return &options.rpc_user;
  if (key == "rpc_password") return &options.rpc_password;
  if (key == "rpc_cookie") return &options.rpc_cookie;
  if (key == "address") return &options.address;
  if (key == "coinbase") return &options.coinbase;
  if (key == "api_listen") return &options.api_listen;
  if (key == "log_file") return &options.log_file;
  if (key == "log_max_mb") return &options.log_max_mb;
  return nullptr;
}

}  // namespace

CommandLineResult parse_command_line(int argc, const char* const argv[], MinerOptions& options) {
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument = argv[index];
    if (argument == "-h" || argument == "--help") return {CommandLineAction::show_usage, {}};
    if (argument == "--version") return {CommandLineAction::show_version, {}};
    const KnownOption* option = find_option(argument);
    if (option == nullptr) {
      return {CommandLineAction::reject, "  [!] Unknown option: " + std::string(argument)};
    }
    if (option->given != nullptr) options.*(option->given) = true;
    if (const auto* flag = std::get_if<bool MinerOptions::*>(&option->target)) {
      options.**flag = true;
      continue;
    }
    if (const auto* setter = std::get_if<SwitchSetter>(&option->target)) {
      (*setter)(options);
      continue;
    }
    if (index + 1 >= argc) {
      return {CommandLineAction::reject, "  [!] Option " + std::string(argument) + " needs a value"};
    }
    // A value is taken as it stands, even when it looks like an option ("-u -p" sets user "-p").
    const char* value = argv[++index];
    if (const auto* text = std::get_if<std::string MinerOptions::*>(&option->target)) {
      options.**text = value;
    } else if (const auto* setter = std::get_if<ValueSetter>(&option->target)) {
      (*setter)(value, options);
    } else {
      options.*std::get<std::int32_t MinerOptions::*>(option->target) = parse_option_number(value);
    }
  }
  return {};
}

void print_usage(const char* program_name) {
  std::printf("Veltrane OpenCL Miner v%s - Whirlpool-512 (AMD/Intel/NVIDIA)\n\n", std::string(program_version).c_str());
  std::printf("Usage: %s [options]\n\n", program_name);
  std::printf("  -o URL       RPC URL (default http://127.0.0.1:8899)\n");
  std::printf("  -u USER      RPC username\n");
  std::printf("  -p PASS      RPC password\n");
  std::printf("  -a ADDRESS   Mining payout address\n");
  std::printf("  -P PLATFORM  OpenCL platform ID (default 0)\n");
  std::printf("  -d DEVICE    OpenCL device ID (default 0)\n");
  std::printf("  -G GLOBAL    Global work size (default 524288)\n");
  std::printf("  -L LOCAL     Local work size (default 256)\n");
  std::printf("  -k PATH      Path to .cl kernel file\n");
  std::printf("  --benchmark  Benchmark mode\n");
  std::printf("  --list-gpus  List OpenCL devices\n");
  std::printf("  --rpc-cookie PATH  RPC credentials from the node's .cookie file\n");
  std::printf("  -d LIST      Several devices: IDs separated by commas, or all\n");
  std::printf("  --no-longpoll  Poll for new blocks every 5 s instead of a longpoll\n");
  std::printf("  --api-listen [HOST:]PORT  Read-only monitoring API and dashboard (host 127.0.0.1 by default)\n");
  std::printf("  -o stratum+tcp://HOST:PORT  Mine in a pool (-u worker, -p password); repeat for failover pools\n");
  std::printf("  --log-file PATH  Also write every line with its time to PATH (PATH.1 .. PATH.3 kept)\n");
  std::printf("  --log-max-mb N  Start a new log file at N MB (default 20)\n");
  std::printf("  --version    Show the version, source revision, compiler and platform\n");
  std::printf("  --no-kernel-cache  Build the kernel from source at every start instead of reusing the cached binary\n");
  std::printf("  --autotune   Time a few work sizes on each device, keep the fastest for later starts (-G, -L win)\n");
  std::printf("  -u, -p after a pool's -o  That pool's own worker and password (before the first pool: every pool's)\n");
  std::printf("  -o stratum+ssl://HOST:PORT  Mine in a pool over TLS (stratum+tls:// is the same)\n");
  std::printf("  --tls-fingerprint SHA256  After a TLS pool's -o: accept only the certificate with this SHA-256\n");
  std::printf("  --watchdog-exit  Exit with code 3 as soon as a device hangs, for a supervisor to restart the miner\n");
  std::printf("  --temp-limit C  Pause a device's launches at C degrees Celsius, until it cools to C - 5\n");
  std::printf("  --temp-resume C  Resume a device paused by --temp-limit at C degrees instead\n");
  std::printf("  -h           Show help\n");
  std::printf("\nEnvironment: VELTRANE_DEVICE_TYPE=gpu|cpu|accelerator|all chooses the OpenCL device type (default gpu)\n");
  std::printf("Configuration file: %s in the working directory, key=value lines that override the command line; "
              "keys %s\n",
              config_file_name, std::string(config_keys).c_str());
}

void print_version() {
  std::printf("Veltrane OpenCL Miner v%s\n", std::string(program_version).c_str());
  std::printf("Source: %s\n", std::string(program_source_revision).c_str());
  std::printf("Compiler: %s\n", std::string(program_compiler).c_str());
  std::printf("Platform: %s\n", std::string(program_platform).c_str());
}

std::optional<std::uint64_t> log_limit_bytes(std::string_view megabytes) {
  constexpr double bytes_per_megabyte = 1024.0 * 1024.0;
  constexpr double smallest_limit = 1024;
  constexpr double largest_limit = 1024.0 * 1024.0 * bytes_per_megabyte;  // 1 TiB
  if (megabytes.empty()) return default_log_limit_bytes;
  double value = 0;
  const auto [end, error] = std::from_chars(megabytes.data(), megabytes.data() + megabytes.size(), value);
  if (megabytes.empty() || error != std::errc{} || end != megabytes.data() + megabytes.size() || !(value > 0)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(std::clamp(value * bytes_per_megabyte, smallest_limit, largest_limit));
}

std::vector<std::int32_t> chosen_devices(const MinerOptions& options, int available_devices) {
  std::vector<std::int32_t> chosen;
  if (options.all_devices) {
    for (std::int32_t device = 0; device < available_devices; ++device) chosen.push_back(device);
    return chosen;
  }
  if (options.device_ids.empty()) return {options.device_id};
  for (const std::int32_t device : options.device_ids) {
    if (std::find(chosen.begin(), chosen.end(), device) == chosen.end()) chosen.push_back(device);
  }
  return chosen;
}

namespace {

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string ignored_line_warning(std::size_t line_number, const std::string& reason) {
  return "  [!] " + std::string(config_file_name) + " line " + std::to_string(line_number) + " ignored: " + reason +
         "\n";
}

}  // namespace

std::vector<std::string> apply_config_text(std::string_view text, MinerOptions& options) {
  std::vector<std::string> warnings;
  bool file_has_pools = false;
  for (std::size_t line_number = 1; !text.empty(); ++line_number) {
    const std::size_t line_end = text.find('\n');
    std::string_view line = text.substr(0, line_end);
    text = line_end == std::string_view::npos ? std::string_view() : text.substr(line_end + 1);

    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      warnings.push_back(ignored_line_warning(line_number, "no \"=\" (lines are key=value)"));
      continue;
    }
    // Nothing is trimmed: "rpc_url =" has the key "rpc_url " and matches nothing.
    const std::string_view key = line.substr(0, equals);
    if (key == "pool_url") {
      if (!file_has_pools) options.pools.clear();
      file_has_pools = true;
      options.pools.emplace_back().url = line.substr(equals + 1);
    } else if (const auto pool_field = pool_config_field(key)) {
      // Only after the file's own pool_url: the command line's pools are replaced by the file's.
      if (file_has_pools) {
        options.pools.back().*pool_field = std::string(line.substr(equals + 1));
      } else {
        warnings.push_back(ignored_line_warning(
            line_number, std::string(key) + " before any pool_url line (it belongs to the pool_url line before it)"));
      }
    } else if (std::string* field = config_field(key, options)) {
      *field = line.substr(equals + 1);
    } else {
      MinerOptions unused;
      const std::string_view bare_key = trimmed(key);
      const std::string hint = bare_key == "pool_url" || pool_config_field(bare_key) != nullptr ||
                                       config_field(bare_key, unused) != nullptr
                                   ? "nothing is trimmed: write " + std::string(bare_key) + "=VALUE without blanks"
                                   : "the keys are " + std::string(config_keys);
      warnings.push_back(ignored_line_warning(line_number, "unknown key \"" + shown_setting(key) + "\" (" + hint + ")"));
    }
  }
  return warnings;
}

std::vector<std::string> options_overridden_by_file(const MinerOptions& command_line, const MinerOptions& after_file) {
  struct TextOption {
    const char* name;
    std::string MinerOptions::*field;
  };
  static constexpr TextOption text_options[] = {{"-o", &MinerOptions::rpc_url},
                                                {"-u", &MinerOptions::rpc_user},
                                                {"-p", &MinerOptions::rpc_password},
                                                {"-a", &MinerOptions::address},
                                                {"--api-listen", &MinerOptions::api_listen},
                                                {"--log-file", &MinerOptions::log_file},
                                                {"--log-max-mb", &MinerOptions::log_max_mb}};
  // A value other than the default came from the command line.
  const MinerOptions defaults;
  std::vector<std::string> overridden;
  for (const TextOption& option : text_options) {
    const std::string& given = command_line.*option.field;
    if (given != defaults.*option.field && after_file.*option.field != given) overridden.emplace_back(option.name);
  }
  // The file's pool list replaces the command line's pools, which came with "-o" too.
  const bool pools_replaced = !command_line.pools.empty() && after_file.pools != command_line.pools;
  if (pools_replaced && std::find(overridden.begin(), overridden.end(), "-o") == overridden.end()) {
    overridden.emplace_back("-o");
  }
  return overridden;
}

void read_config_file(MinerOptions& options) {
  // Text mode, so that Windows hands over plain line feeds; a carriage return left over is
  // removed per line anyway.
  std::FILE* file = std::fopen(config_file_name, "r");
  if (file == nullptr) return;
  std::string text;
  char buffer[4096];
  std::size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, count);
  std::fclose(file);

  const MinerOptions command_line = options;
  for (const std::string& warning : apply_config_text(text, options)) std::fputs(warning.c_str(), stdout);
  // The file wins over the command line; say so, naming the options but never their values.
  const std::vector<std::string> overridden = options_overridden_by_file(command_line, options);
  if (overridden.empty()) return;
  std::string names;
  for (const std::string& name : overridden) names += (names.empty() ? "" : ", ") + name;
  std::printf("  [*] %s overrides the command line: %s\n", config_file_name, names.c_str());
}
