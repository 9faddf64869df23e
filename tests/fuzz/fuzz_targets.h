#pragma once
// Fuzz targets: one per input surface the miner reads from outside (node replies, URL, hex,
// addresses, targets, configuration file, command line). Each takes arbitrary bytes, runs them
// through the program's own parser and checks what must hold of the result beyond "no crash";
// a property that does not hold throws FuzzCheckFailure. The libFuzzer executables and the
// regression replay of the test suite call the same functions.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

struct FuzzCheckFailure : std::logic_error {
  using std::logic_error::logic_error;
};

void fuzz_json_scan(const std::uint8_t* data, std::size_t size);
void fuzz_block_template(const std::uint8_t* data, std::size_t size);
void fuzz_submit_reply(const std::uint8_t* data, std::size_t size);
void fuzz_rpc_error(const std::uint8_t* data, std::size_t size);
void fuzz_url(const std::uint8_t* data, std::size_t size);
void fuzz_hex(const std::uint8_t* data, std::size_t size);
void fuzz_address(const std::uint8_t* data, std::size_t size);
void fuzz_target(const std::uint8_t* data, std::size_t size);
void fuzz_config_file(const std::uint8_t* data, std::size_t size);
void fuzz_command_line(const std::uint8_t* data, std::size_t size);

struct FuzzTarget {
  std::string_view name;  // also the folder of its corpus and of its regression inputs
  void (*run)(const std::uint8_t* data, std::size_t size);
};

inline constexpr FuzzTarget fuzz_targets[] = {
    {"json_scan", fuzz_json_scan},     {"block_template", fuzz_block_template},
    {"submit_reply", fuzz_submit_reply}, {"rpc_error", fuzz_rpc_error},
    {"url", fuzz_url},                 {"hex", fuzz_hex},
    {"address", fuzz_address},         {"target", fuzz_target},
    {"config_file", fuzz_config_file}, {"command_line", fuzz_command_line},
};
