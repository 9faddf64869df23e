#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "driver/startup_checks.h"
#include "stats/url_without_credentials.h"
#include "support/test_support.h"

// The options below name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

TEST(TemperatureLimitOptions, LimitAndResumeAreCheckedAndTheResumeDefaultsToFiveBelow) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::optional<TemperatureLimit> limit;  // nothing: none, or refused when the line is not empty
    std::string line;
  };
  const Case cases[] = {
      {"no limit", {}, std::nullopt, ""},
      {"limit alone", {"--temp-limit", "85"}, TemperatureLimit{85, 80}, ""},
      {"limit and resume", {"--temp-limit", "85", "--temp-resume", "70"}, TemperatureLimit{85, 70}, ""},
      {"resume not below the limit", {"--temp-limit", "85", "--temp-resume", "85"}, std::nullopt,
       "  [!] --temp-resume must be below --temp-limit (85): 85\n"},
      {"limit that is no temperature", {"--temp-limit", "hot"}, std::nullopt,
       "  [!] --temp-limit needs a temperature of 1 to 150 degrees Celsius, such as 80: 0\n"},
      {"limit too high", {"--temp-limit", "151"}, std::nullopt,
       "  [!] --temp-limit needs a temperature of 1 to 150 degrees Celsius, such as 80: 151\n"},
      {"resume without a limit", {"--temp-resume", "70"}, std::nullopt, "  [!] --temp-resume needs --temp-limit\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<const char*> argv = {"veltrane-miner"};
    for (const std::string& argument : c.arguments) argv.push_back(argument.c_str());
    MinerOptions options;
    ASSERT_EQ(parse_command_line(static_cast<int>(argv.size()), argv.data(), options).action, CommandLineAction::run);
    std::string said;
    ConsoleWriter console;
    console.write = [&said](std::string_view text) { said += text; };
    std::optional<TemperatureLimit> limit = TemperatureLimit{1, 0};
    EXPECT_EQ(temperature_limit_from_options(options, limit, console), c.line.empty());
    EXPECT_EQ(said, c.line);
    EXPECT_EQ(limit.has_value(), c.limit.has_value());
    if (limit && c.limit) {
      EXPECT_EQ(limit->pause_at_c, c.limit->pause_at_c);
      EXPECT_EQ(limit->resume_at_c, c.limit->resume_at_c);
    }
  }
}

// The working directory and the executable's folder, each with or without a kernel file.
TEST(ChooseKernelFileTest, WorkingDirectoryFirstThenBesideTheExecutable) {
  struct Case {
    const char* name;
    bool in_working_directory;
    bool beside_executable;
    bool given_with_k;
  };
  const Case cases[] = {
      {"working directory", true, true, false},
      {"beside the executable", false, true, false},
      {"nowhere", false, false, false},
      {"-k is taken as given", false, true, true},
  };
  const std::filesystem::path previous = std::filesystem::current_path();
  for (const Case& c : cases) {
    test_support::TemporaryDirectory working_directory;
    test_support::TemporaryDirectory program_directory;
    const std::filesystem::path in_working_directory = std::filesystem::absolute(working_directory.path) / "k.cl";
    const std::filesystem::path beside = std::filesystem::absolute(program_directory.path) / "k.cl";
    if (c.in_working_directory) std::ofstream(in_working_directory) << "kernel";
    if (c.beside_executable) std::ofstream(beside) << "kernel";
    MinerOptions options;
    options.kernel_path = "k.cl";
    options.kernel_path_given = c.given_with_k;

    std::filesystem::current_path(working_directory.path);
    const KernelFileChoice choice = choose_kernel_file(options, program_directory.path / "veltrane-miner");
    std::filesystem::current_path(previous);

    if (c.given_with_k) {
      EXPECT_EQ(choice.path, "k.cl") << c.name;
      EXPECT_TRUE(choice.looked_at.empty()) << c.name;
      continue;
    }
    EXPECT_EQ(choice.looked_at, (std::vector<std::filesystem::path>{in_working_directory, beside})) << c.name;
    EXPECT_EQ(choice.found, c.in_working_directory || c.beside_executable) << c.name;
    const std::string expected_path = c.in_working_directory ? "k.cl" : c.beside_executable ? beside.string() : "k.cl";
    EXPECT_EQ(choice.path, expected_path) << c.name;
    if (!choice.found) {
      EXPECT_EQ(kernel_not_found_hint(choice), "Looked for the kernel file at " + in_working_directory.string() +
                                                   " and " + beside.string() + "; give its path with -k PATH");
    }
  }
}

}  // namespace

namespace {

// The pools' logins from the options, with what the start-up said about them.
std::optional<PoolLogin> login_with_console(const MinerOptions& options, std::string& console_text) {
  ConsoleWriter console;
  console.write = [&console_text](std::string_view text) { console_text += text; };
  return pool_login(options, console);
}

// Each pool logs in with its own worker and password, else the defaults, else the payout address
// and "x"; a setting that cannot apply to a pool stops the start with a line that names it.
TEST(PoolLoginTest, EachPoolGetsItsOwnWorkerOrTheDefaults) {
  struct Case {
    const char* name;
    MinerOptions options;
    std::vector<std::pair<std::string, std::string>> logins;  // worker and password per pool; none: refused
    std::string console;
  };
  const std::string a = "stratum+tcp://a:1";
  const std::string b = "stratum+tcp://b:2";
  const Case cases[] = {
      {"own, default and address",
       {.pools = {{a, "X.first", "pa"}, {b}}, .rpc_user = "X.all"},
       {{"X.first", "pa"}, {"X.all", "x"}},
       ""},
      {"the payout address stands in for a missing worker",
       {.pools = {{a}, {b, "X.second"}}, .address = "vtr1qpayout"},
       {{"vtr1qpayout", "x"}, {"X.second", "x"}},
       ""},
      {"one pool without any worker", {.pools = {{a, "X.first"}, {b}}}, {},
       "  [!] Pool worker required (-u WORKER, usually the payout address)\n"},
      {"a pin on a plain TCP pool", {.pools = {{a, "w", std::nullopt, "ab"}}}, {},
       "  [!] --tls-fingerprint is for TLS pools; stratum+tcp://a:1 is plain TCP\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string console_text;
    const std::optional<PoolLogin> login = login_with_console(c.options, console_text);
    EXPECT_EQ(console_text, c.console);
    ASSERT_EQ(login.has_value(), !c.logins.empty());
    if (!login) continue;
    std::vector<std::pair<std::string, std::string>> logins;
    for (const PoolEndpoint& pool : login->pools) logins.emplace_back(pool.worker, pool.password);
    EXPECT_EQ(logins, c.logins);
  }
}

// A pin is a TLS pool's own, else the default; it is read in OpenSSL's form too, and one that is
// no SHA-256 stops the start.
TEST(PoolLoginTest, TlsPoolsTakeTheirOwnPinOrTheDefault) {
  const std::string hex = "5e1f0000000000000000000000000000000000000000000000000000000000a9";
  std::string colons;  // "5E:1F:...:A9"
  for (std::size_t index = 0; index < hex.size(); index += 2) {
    colons += (index == 0 ? "" : ":") + std::string{static_cast<char>(std::toupper(hex[index])),
                                                    static_cast<char>(std::toupper(hex[index + 1]))};
  }
  const std::string tls = "stratum+ssl://a:1";
  const std::string plain = "stratum+tcp://b:2";
  struct Case {
    const char* name;
    MinerOptions options;
    std::vector<std::string> pins;  // per pool; none: refused
    std::string console;
  };
  const Case cases[] = {
      {"own pin in OpenSSL's form", {.pools = {{tls, "w", std::nullopt, colons}}}, {hex}, ""},
      {"the default pins TLS pools only", {.pools = {{tls, "w"}, {plain, "w"}}, .tls_fingerprint = hex}, {hex, ""}, ""},
      {"own pin over the default", {.pools = {{tls, "w", std::nullopt, hex}}, .tls_fingerprint = "bad"}, {hex}, ""},
      {"no pin: the chain is checked", {.pools = {{tls, "w"}}}, {""}, ""},
      {"a pin that is no SHA-256", {.pools = {{tls, "w", std::nullopt, hex.substr(2)}}}, {},
       "  [!] --tls-fingerprint for stratum+ssl://a:1 needs the certificate's SHA-256 as 64 hex digits (colons "
       "between the bytes allowed): " + hex.substr(2) + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string console_text;
    const std::optional<PoolLogin> login = login_with_console(c.options, console_text);
    EXPECT_EQ(console_text, c.console);
    ASSERT_EQ(login.has_value(), !c.pins.empty());
    if (!login) continue;
    std::vector<std::string> pins;
    for (const PoolEndpoint& pool : login->pools) pins.push_back(pool.tls_fingerprint);
    EXPECT_EQ(pins, c.pins);
    EXPECT_TRUE(login->pools.front().tls);
  }
}

}  // namespace
