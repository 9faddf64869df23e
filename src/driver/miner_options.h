#pragma once
// The settings of one run: defaults, the command line, the configuration file and the usage text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A pool as configured: its URL and what was given for it alone. A setting it has none of comes
// from the defaults (MinerOptions' rpc_user, rpc_password and tls_fingerprint).
struct PoolOption {
  std::string url;
  std::optional<std::string> user;             // the worker name
  std::optional<std::string> password;
  std::optional<std::string> tls_fingerprint;  // SHA-256 of the pool's certificate, in hex

  bool operator==(const PoolOption&) const = default;
};

struct MinerOptions {
  std::string rpc_url = "http://127.0.0.1:8899";
  // Pool URLs, in order of preference; any selects pool mining. -u, -p and --tls-fingerprint
  // given after a pool's URL belong to that pool.
  std::vector<PoolOption> pools;
  // The node's user and password; in pool mining, the worker and password of every pool without
  // its own.
  std::string rpc_user;
  std::string rpc_password;
  std::string tls_fingerprint;  // in pool mining, the pin of every pool without its own
  std::string rpc_cookie;  // the node's .cookie file: credentials read from it instead of user and password
  std::string address;   // payout address; mining needs one
  std::string coinbase;  // free text for the coinbase input script (configuration file only)
  std::string kernel_path = "whirlpool_opencl.cl";
  bool kernel_path_given = false;  // -k was on the command line
  std::string api_listen;  // "[HOST:]PORT" of the monitoring API; empty: no API
  std::int32_t platform_id = 0;
  std::int32_t device_id = 0;             // the first of device_ids when a list was given
  std::vector<std::int32_t> device_ids;   // "-d 0,2": the devices to mine on; empty: device_id alone
  bool all_devices = false;               // "-d all": every device of the platform and type
  bool devices_given = false;             // -d was given: --list-gpus shows those devices only
  std::int32_t global_work_size = 524288;
  std::int32_t local_work_size = 256;
  // -G and -L were on the command line; without them a device that is not a GPU gets sizes of its own.
  bool global_work_size_given = false;
  bool local_work_size_given = false;
  bool benchmark = false;
  bool list_gpus = false;
  bool longpoll = true;  // "--no-longpoll": poll the best block every 5 s instead
  std::string log_file;  // every console line with its time goes here too; empty: no log file
  std::string log_max_mb;  // the log file's size limit in MB (2^20 bytes), fractions allowed; empty: 20
  bool kernel_cache = true;  // "--no-kernel-cache": build the kernel from source on every start
  bool autotune = false;     // "--autotune": time each device's work sizes and keep the fastest
  bool watchdog_exit = false;  // "--watchdog-exit": a hung device ends the miner with exit code 3 at once
  // "--temp-limit C": a device's launches pause at C °C and resume at temp_resume (C - 5 unless given).
  std::int32_t temp_limit = 0;
  std::int32_t temp_resume = 0;
  bool temp_limit_given = false;
  bool temp_resume_given = false;

  bool operator==(const MinerOptions&) const = default;
};

// The configuration file, looked up in the working directory.
inline constexpr const char* config_file_name = "veltrane-miner.conf";

// What a URL names, by its scheme in any letter case: "http://", "https://" or no scheme at all
// ("host:port") the node; "stratum+tcp://", "stratum+ssl://" or "stratum+tls://" a pool. Any
// other scheme ("stratum://", "tcp://") is one the miner does not take.
enum class UrlKind { node, pool, unsupported };
UrlKind url_kind(std::string_view url);

// The scheme of a URL as written ("Stratum+SSL"), without "://"; empty when it has none.
std::string_view url_scheme(std::string_view url);

// The URL with its scheme in lower case and the rest as written: schemes are matched without
// regard to case.
std::string with_lower_case_scheme(std::string_view url);

// A setting's text (from the command line or the configuration file) as console lines show it:
// printable characters only, at most 80 of them.
std::string shown_setting(std::string_view text);

// Reads a number the way the C library's atol does (leading white space, an optional sign,
// decimal digits up to the first other character, 0 without digits), clamped to the signed
// 32-bit range.
std::int32_t parse_option_number(std::string_view text);

enum class CommandLineAction {
  run,         // every argument was understood
  show_usage,  // "-h" or "--help"
  show_version,  // "--version"
  reject,      // an unknown argument or a value option without its value; see problem
};

struct CommandLineResult {
  CommandLineAction action = CommandLineAction::run;
  std::string problem;  // the console line that names the offending argument, for reject
};

// Applies argv[1] .. argv[argc - 1] to the options. Stops at "-h", "--help" or "--version" (the
// arguments after it are left unread) and at the first argument it does not know or a value option that
// is the last argument.
CommandLineResult parse_command_line(int argc, const char* const argv[], MinerOptions& options);

void print_usage(const char* program_name);

// The program's name and version, the source revision it was built from, the compiler and the
// platform.
void print_version();

// The log file's size limit in bytes from --log-max-mb's text: a number above 0, fractions
// allowed ("0.5"), or empty for the default; none for anything else. The limit is at least one
// line's worth (1 KiB).
std::optional<std::uint64_t> log_limit_bytes(std::string_view megabytes);

// The device indices to open, in order without repeats: every one of the available ones for
// "all", the list, or device_id alone.
std::vector<std::int32_t> chosen_devices(const MinerOptions& options, int available_devices);

// Applies configuration text: lines of key "=" value, nothing trimmed, "#" in the first column
// starts a comment. Keys rpc_url, rpc_user, rpc_password, rpc_cookie, address, coinbase,
// api_listen, log_file, log_max_mb and pool_url; a line without "=" or with another key is ignored. pool_url may be
// given several times; the file's pool_url lines replace those of the command line, and the
// pool_user, pool_password and pool_tls_fingerprint lines belong to the pool_url line before them.
// Returns one warning line per ignored line, with its number.
std::vector<std::string> apply_config_text(std::string_view text, MinerOptions& options);

// The command-line options ("-a", ...) whose values the configuration file replaced. A value
// counts as given on the command line when it differs from the default.
std::vector<std::string> options_overridden_by_file(const MinerOptions& command_line, const MinerOptions& after_file);

// Applies the configuration file if it can be opened; a missing file is not an error. Prints the
// warnings for ignored lines and a line naming the command-line options the file overrode.
void read_config_file(MinerOptions& options);
