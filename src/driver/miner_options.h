#pragma once
// The settings of one run: defaults, the command line, the configuration file and the usage text.

#include <cstdint>
#include <string>
#include <string_view>

struct MinerOptions {
  std::string rpc_url = "http://127.0.0.1:8899";
  std::string rpc_user;
  std::string rpc_password;
  std::string rpc_cookie;  // the node's .cookie file: credentials read from it instead of user and password
  std::string address;   // payout address; mining needs one
  std::string coinbase;  // free text for the coinbase input script (configuration file only)
  std::string kernel_path = "whirlpool_opencl.cl";
  std::string api_listen;  // "[HOST:]PORT" of the monitoring API; empty: no API
  std::int32_t platform_id = 0;
  std::int32_t device_id = 0;
  std::int32_t global_work_size = 524288;
  std::int32_t local_work_size = 256;
  bool benchmark = false;
  bool list_gpus = false;

  bool operator==(const MinerOptions&) const = default;
};

// The configuration file, looked up in the working directory.
inline constexpr const char* config_file_name = "veltrane-miner.conf";

// Reads a number the way the C library's atol does (leading white space, an optional sign,
// decimal digits up to the first other character, 0 without digits), clamped to the signed
// 32-bit range.
std::int32_t parse_option_number(std::string_view text);

// Applies argv[1] .. argv[argc - 1] to the options. Returns true as soon as "-h" or "--help" is
// met; the arguments after it are left unread. Unknown arguments and a value option without a
// value are ignored.
bool parse_command_line(int argc, const char* const argv[], MinerOptions& options);

void print_usage(const char* program_name);

// Applies configuration text: lines of key "=" value, nothing trimmed, "#" in the first column
// starts a comment. Keys rpc_url, rpc_user, rpc_password, rpc_cookie, address, coinbase and
// api_listen; others ignored.
void apply_config_text(std::string_view text, MinerOptions& options);

// Applies the configuration file if it can be opened; a missing file is not an error.
void read_config_file(MinerOptions& options);
