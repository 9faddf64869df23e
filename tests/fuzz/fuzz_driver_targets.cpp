// Fuzz targets of the miner's own settings: the configuration file and the command line.

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "driver/miner_options.h"
#include "fuzz_input.h"

using fuzz::check;

namespace {

// Options in which every text and number differs from the defaults, to see what the file sets.
MinerOptions marked_options() {
  MinerOptions options;
  options.rpc_url = "mark-url";
  options.pools = {{"mark-pool", "mark-pool-user", "mark-pool-password", "mark-pool-fingerprint"}};
  options.rpc_user = "mark-user";
  options.rpc_password = "mark-password";
  options.tls_fingerprint = "mark-fingerprint";
  options.rpc_cookie = "mark-cookie";
  options.address = "mark-address";
  options.coinbase = "mark-coinbase";
  options.kernel_path = "mark-kernel";
  options.api_listen = "mark-api";
  options.platform_id = 7;
  options.device_id = 8;
  options.global_work_size = 9;
  options.local_work_size = 10;
  options.benchmark = true;
  options.list_gpus = true;
  return options;
}

// The file's keys written back as a configuration file with CRLF line ends.
std::string as_config_text(const MinerOptions& options) {
  std::string pool_lines;
  // Each pool's own settings follow its pool_url line.
  for (const PoolOption& pool : options.pools) {
    pool_lines += "pool_url=" + pool.url + "\r\n";
    if (pool.user) pool_lines += "pool_user=" + *pool.user + "\r\n";
    if (pool.password) pool_lines += "pool_password=" + *pool.password + "\r\n";
    if (pool.tls_fingerprint) pool_lines += "pool_tls_fingerprint=" + *pool.tls_fingerprint + "\r\n";
  }
  return "rpc_url=" + options.rpc_url + "\r\nrpc_user=" + options.rpc_user + "\r\nrpc_password=" +
         options.rpc_password + "\r\nrpc_cookie=" + options.rpc_cookie + "\r\naddress=" + options.address +
         "\r\ncoinbase=" + options.coinbase + "\r\napi_listen=" + options.api_listen + "\r\nlog_file=" +
         options.log_file + "\r\nlog_max_mb=" + options.log_max_mb + "\r\n" + pool_lines;
}

// The reading the C library gives a decimal option value, clamped to 32 bits.
std::int32_t reference_option_number(const std::string& text) {
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

std::vector<std::string> as_arguments(const MinerOptions& options) {
  std::vector<std::string> arguments = {
      "-o", options.rpc_url, "-u", options.rpc_user, "-p", options.rpc_password, "--tls-fingerprint",
      options.tls_fingerprint, "--rpc-cookie", options.rpc_cookie,
      "-a", options.address, "--api-listen", options.api_listen, "-P", std::to_string(options.platform_id)};
  // -d only when given: --list-gpus lists every device without it.
  if (options.devices_given) arguments.insert(arguments.end(), {"-d", std::to_string(options.device_id)});
  // Pools after the node's URL and the defaults: each is an "-o" of its own, in order, followed by
  // its own settings.
  for (const PoolOption& pool : options.pools) {
    arguments.insert(arguments.end(), {"-o", pool.url});
    if (pool.user) arguments.insert(arguments.end(), {"-u", *pool.user});
    if (pool.password) arguments.insert(arguments.end(), {"-p", *pool.password});
    if (pool.tls_fingerprint) arguments.insert(arguments.end(), {"--tls-fingerprint", *pool.tls_fingerprint});
  }
  // A list or "all" after the single index, which keeps device_id as it was.
  if (options.all_devices) {
    arguments.insert(arguments.end(), {"-d", "all"});
  } else if (!options.device_ids.empty()) {
    std::string list;
    for (const std::int32_t device : options.device_ids) list += (list.empty() ? "" : ",") + std::to_string(device);
    arguments.insert(arguments.end(), {"-d", list});
  }
  // Options whose absence means something (a default chosen later) are written only when given.
  if (options.kernel_path_given) arguments.insert(arguments.end(), {"-k", options.kernel_path});
  if (options.global_work_size_given) arguments.insert(arguments.end(), {"-G", std::to_string(options.global_work_size)});
  if (options.local_work_size_given) arguments.insert(arguments.end(), {"-L", std::to_string(options.local_work_size)});
  if (options.benchmark) arguments.push_back("--benchmark");
  if (options.list_gpus) arguments.push_back("--list-gpus");
  if (!options.longpoll) arguments.push_back("--no-longpoll");
  if (!options.kernel_cache) arguments.push_back("--no-kernel-cache");
  if (options.autotune) arguments.push_back("--autotune");
  if (options.watchdog_exit) arguments.push_back("--watchdog-exit");
  if (options.temp_limit_given) arguments.insert(arguments.end(), {"--temp-limit", std::to_string(options.temp_limit)});
  if (options.temp_resume_given) arguments.insert(arguments.end(), {"--temp-resume", std::to_string(options.temp_resume)});
  if (!options.log_file.empty()) arguments.insert(arguments.end(), {"--log-file", options.log_file});
  if (!options.log_max_mb.empty()) arguments.insert(arguments.end(), {"--log-max-mb", options.log_max_mb});
  return arguments;
}

// Parses the arguments (argv[0] added) onto the options.
CommandLineResult parse_arguments(const std::vector<std::string>& arguments, MinerOptions& options) {
  std::vector<const char*> argv = {"veltrane-miner"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  return parse_command_line(static_cast<int>(argv.size()), argv.data(), options);
}

}  // namespace

void fuzz_config_file(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view name = "config_file";
  const std::string_view text = fuzz::as_text(data, size);
  MinerOptions from_defaults;
  apply_config_text(text, from_defaults);
  MinerOptions from_marks = marked_options();
  apply_config_text(text, from_marks);

  // A key in the file replaces its field whatever it held; every other field is left alone.
  const MinerOptions defaults;
  const MinerOptions marks = marked_options();
  const auto set_or_kept = [](const auto& a, const auto& b, const auto& a_before, const auto& b_before) {
    return a == b || (a == a_before && b == b_before);
  };
  check(set_or_kept(from_defaults.rpc_url, from_marks.rpc_url, defaults.rpc_url, marks.rpc_url) &&
            set_or_kept(from_defaults.rpc_user, from_marks.rpc_user, defaults.rpc_user, marks.rpc_user) &&
            set_or_kept(from_defaults.rpc_password, from_marks.rpc_password, defaults.rpc_password,
                        marks.rpc_password) &&
            set_or_kept(from_defaults.rpc_cookie, from_marks.rpc_cookie, defaults.rpc_cookie, marks.rpc_cookie) &&
            set_or_kept(from_defaults.address, from_marks.address, defaults.address, marks.address) &&
            set_or_kept(from_defaults.coinbase, from_marks.coinbase, defaults.coinbase, marks.coinbase) &&
            set_or_kept(from_defaults.api_listen, from_marks.api_listen, defaults.api_listen, marks.api_listen) &&
            set_or_kept(from_defaults.pools, from_marks.pools, defaults.pools, marks.pools),
        name, "a key sets its field whatever it held, and other fields stay");
  check(from_marks.kernel_path == marks.kernel_path && from_marks.global_work_size == marks.global_work_size &&
            from_marks.local_work_size == marks.local_work_size && from_marks.platform_id == marks.platform_id &&
            from_marks.device_id == marks.device_id && from_marks.benchmark && from_marks.list_gpus &&
            from_marks.tls_fingerprint == marks.tls_fingerprint,
        name, "the file never changes what only the command line sets");

  MinerOptions again = from_defaults;
  apply_config_text(text, again);
  check(again == from_defaults, name, "reading the file twice gives what reading it once gives");

  MinerOptions round_trip;
  apply_config_text(as_config_text(from_defaults), round_trip);
  check(round_trip == from_defaults, name, "the settings written back as a file read the same");

  if (text.find('\r') == std::string_view::npos) {
    std::string crlf;
    for (const char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    MinerOptions from_crlf;
    apply_config_text(crlf, from_crlf);
    check(from_crlf == from_defaults, name, "CRLF line ends read like LF line ends");
  }
}

void fuzz_command_line(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view name = "command_line";
  const std::vector<std::string_view> parts = fuzz::split_at_nul(fuzz::as_text(data, size));
  const std::vector<std::string> arguments(parts.begin(), parts.end());
  MinerOptions options;
  const CommandLineResult result = parse_arguments(arguments, options);

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    check(parse_option_number(arguments[i]) == reference_option_number(arguments[i]), name,
          "a number option reads as the C library's decimal reading, clamped to 32 bits");
  }
  check((result.action == CommandLineAction::reject) == !result.problem.empty(), name,
        "a rejected command line, and only that, names its problem");
  if (result.action != CommandLineAction::run) return;
  MinerOptions round_trip;
  check(parse_arguments(as_arguments(options), round_trip).action == CommandLineAction::run, name,
        "written-back options are all understood");
  check(round_trip == options, name, "the options written back as arguments parse the same");
}
