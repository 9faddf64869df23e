#pragma once
// Small helpers shared by the test suites: hex conversion independent of the program's own
// codec, running a command, temporary files and the shared fixtures folder.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

std::vector<std::uint8_t> from_hex(std::string_view hex);
std::string to_hex(const std::uint8_t* bytes, std::size_t length);
template <typename Container>
std::string to_hex(const Container& bytes) {
  return to_hex(bytes.data(), bytes.size());
}

struct CommandResult {
  int exit_code = -1;
  std::string output;  // standard output (and standard error when merged by the command)
};
// Runs a shell command and collects its standard output.
CommandResult run_command(const std::string& command);

// Sets an environment variable of this process, or removes it for nullptr.
void set_environment_variable(const std::string& name, const char* value);

// A file that is removed when the object goes out of scope.
struct TemporaryFile {
  explicit TemporaryFile(std::string_view contents, std::string_view suffix = "");
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  std::filesystem::path path;
};

// An empty directory that is removed with everything in it when the object goes out of scope.
struct TemporaryDirectory {
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  std::filesystem::path path;
};

// The cache folder (XDG_CACHE_HOME) for the miners that the tests start: one per build folder,
// never the user's, so that the OpenCL compiler and the kernel cache build the kernel once for
// the whole test run rather than once per test process.
std::filesystem::path miner_cache_home();

// The shared fixtures folder, or nothing when it is absent (see support/fixtures.h).
std::optional<std::filesystem::path> fixtures_dir();
std::string read_file(const std::filesystem::path& path);

// A parsed JSON value, enough for the fixture files: arrays, strings, numbers, booleans, null.
struct JsonValue {
  enum class Kind { null, boolean, number, string, array };
  Kind kind = Kind::null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<JsonValue> items;
};
// Parses one JSON document without objects; throws std::runtime_error on anything else.
JsonValue parse_json(std::string_view text);

}  // namespace test_support
