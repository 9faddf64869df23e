#include "driver/miner_options.h"

#include <cstdio>
#include <limits>
#include <string>

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

std::string* text_option(std::string_view name, MinerOptions& options) {
  if (name == "-o") return &options.rpc_url;
  if (name == "-u") return &options.rpc_user;
  if (name == "-p") return &options.rpc_password;
  if (name == "-a") return &options.address;
  if (name == "-k") return &options.kernel_path;
  if (name == "--rpc-cookie") return &options.rpc_cookie;
  if (name == "--api-listen") return &options.api_listen;
  return nullptr;
}

std::int32_t* number_option(std::string_view name, MinerOptions& options) {
  if (name == "-P") return &options.platform_id;
  if (name == "-d") return &options.device_id;
  if (name == "-G") return &options.global_work_size;
  if (name == "-L") return &options.local_work_size;
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
  return nullptr;
}

}  // namespace

bool parse_command_line(int argc, const char* const argv[], MinerOptions& options) {
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument = argv[index];
    const bool has_value = index + 1 < argc;
    // A value is taken as it stands, even when it looks like an option ("-u -p" sets user "-p").
    if (std::string* text = text_option(argument, options); text != nullptr && has_value) {
      *text = argv[++index];
    } else if (std::int32_t* number = number_option(argument, options); number != nullptr && has_value) {
      *number = parse_option_number(argv[++index]);
    } else if (argument == "--benchmark") {
      options.benchmark = true;
    } else if (argument == "--list-gpus") {
      options.list_gpus = true;
    } else if (argument == "-h" || argument == "--help") {
      return true;
    }
  }
  return false;
}

void print_usage(const char* program_name) {
  std::printf("Veltrane OpenCL Miner v1.1 - Whirlpool-512 (AMD/Intel/NVIDIA)\n\n");
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
  std::printf("  --api-listen [HOST:]PORT  Read-only monitoring API and dashboard (host 127.0.0.1 by default)\n");
  std::printf("  -h           Show help\n");
}

void apply_config_text(std::string_view text, MinerOptions& options) {
  while (!text.empty()) {
    const std::size_t line_end = text.find('\n');
    std::string_view line = text.substr(0, line_end);
    text = line_end == std::string_view::npos ? std::string_view() : text.substr(line_end + 1);

    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    // Nothing is trimmed: "rpc_url =" has the key "rpc_url " and matches nothing.
    if (std::string* field = config_field(line.substr(0, equals), options)) {
      *field = line.substr(equals + 1);
    }
  }
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
  apply_config_text(text, options);
}
