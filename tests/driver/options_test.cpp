#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "driver/miner_options.h"
#include "support/test_support.h"

// The expected options below name only the fields that differ from the defaults; the others keep
// their default member initializers on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

void PrintTo(const PoolOption& pool, std::ostream* out) {
  *out << "{" << pool.url << " user=" << ::testing::PrintToString(pool.user)
       << " password=" << ::testing::PrintToString(pool.password)
       << " fingerprint=" << ::testing::PrintToString(pool.tls_fingerprint) << "}";
}

void PrintTo(const MinerOptions& options, std::ostream* out) {
  *out << "{url=\"" << options.rpc_url << "\" pools=" << ::testing::PrintToString(options.pools) << " user=\"" << options.rpc_user << "\" password=\"" << options.rpc_password << "\" fingerprint=\"" << options.tls_fingerprint
       << "\" cookie=\"" << options.rpc_cookie << "\" address=\"" << options.address << "\" coinbase=\"" << options.coinbase << "\" api=\"" << options.api_listen << "\" kernel=\""
       << options.kernel_path << "\" P=" << options.platform_id << " d=" << options.device_id
       << " devices=" << ::testing::PrintToString(options.device_ids) << " all=" << options.all_devices
       << " G=" << options.global_work_size << " L=" << options.local_work_size << " benchmark=" << options.benchmark
       << " list=" << options.list_gpus << " longpoll=" << options.longpoll << "}";
}

namespace {

struct NumberCase {
  const char* text;
  std::int32_t expected;
};

TEST(OptionNumberTest, ReadsLikeAtolClampedTo32Bits) {
  constexpr std::int32_t max = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t min = std::numeric_limits<std::int32_t>::min();
  const NumberCase cases[] = {
      {"524288", 524288},
      {"1e6", 1},  // the letter ends the number
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"+", 0},
      {" \t\n\v\f\r-42x", -42},
      {"+17", 17},
      {"--5", 0},
      {"+-5", 0},
      {"- 5", 0},
      {"0x10", 0},
      {"007", 7},
      {"2147483647", max},
      {"2147483648", max},
      {"-2147483648", min},
      {"-2147483649", min},
      {"4294967296", max},  // 2^32 would wrap to 0 if only truncated
      {"-4294967297", min},
      {"99999999999999999999999999999", max},  // far beyond 64 bits too
      {"-99999999999999999999999999999", min},
  };
  for (const NumberCase& c : cases) {
    EXPECT_EQ(parse_option_number(c.text), c.expected) << "text \"" << c.text << "\"";
  }
}

struct OptionsCase {
  const char* name;
  std::vector<std::string> arguments;  // without the program name
  std::string config;                  // configuration file text, applied unless help was asked for
  bool help;
  MinerOptions expected;
};

TEST(MinerOptionsTest, CommandLineThenConfigurationFile) {
  const OptionsCase cases[] = {
      {"defaults", {}, "", false, {}},
      {"every option",
       {"-o", "http://node:1", "-u", "user", "-p", "pass", "-a", "vtr1q", "-k", "k.cl", "-P", "1", "-d", "2", "-G",
        "1024", "-L", "64", "--benchmark", "--list-gpus"},
       "",
       false,
       {.rpc_url = "http://node:1",
        .rpc_user = "user",
        .rpc_password = "pass",
        .address = "vtr1q",
        .kernel_path = "k.cl",
        .kernel_path_given = true,
        .platform_id = 1,
        .device_id = 2,
        .devices_given = true,
        .global_work_size = 1024,
        .local_work_size = 64,
        .global_work_size_given = true,
        .local_work_size_given = true,
        .benchmark = true,
        .list_gpus = true}},
      {"value that looks like an option", {"-u", "-p", "-a", "x"}, "", false, {.rpc_user = "-p", .address = "x"}},
      {"-h as a value prints no usage", {"-u", "-h"}, "", false, {.rpc_user = "-h"}},
      {"-h stops reading", {"-a", "x", "-h", "-u", "y"}, "address=z", true, {.address = "x"}},
      {"--help", {"--help", "--benchmark"}, "", true, {}},
      {"numbers read like atol",
       {"-G", "1e6", "-P", "x1", "-d", "  -3", "-L", "99999999999"},
       "",
       false,
       {.platform_id = 0,
        .device_id = -3,
        .devices_given = true,
        .global_work_size = 1,
        .local_work_size = 2147483647,
        .global_work_size_given = true,
        .local_work_size_given = true}},
      {"device list", {"-d", "2,0, 1"}, "", false, {.device_id = 2, .device_ids = {2, 0, 1}, .devices_given = true}},
      {"every device", {"-d", "all"}, "", false, {.all_devices = true, .devices_given = true}},
      {"no longpoll", {"--no-longpoll"}, "", false, {.longpoll = false}},
      {"no kernel cache", {"--no-kernel-cache"}, "", false, {.kernel_cache = false}},
      {"autotune", {"--autotune"}, "", false, {.autotune = true}},
      {"watchdog exit", {"--watchdog-exit"}, "", false, {.watchdog_exit = true}},
      {"API address from the command line", {"--api-listen", "[::1]:4068"}, "", false, {.api_listen = "[::1]:4068"}},
      {"API address from the file", {}, "api_listen=4068\n", false, {.api_listen = "4068"}},
      {"a later single device replaces a list", {"-d", "all", "-d", "1,2", "-d", "3"}, "", false,
       {.device_id = 3, .devices_given = true}},
      {"repeated option keeps the last", {"-a", "one", "-G", "1", "-a", "two", "-G", "2"}, "", false,
       {.address = "two", .global_work_size = 2, .global_work_size_given = true}},
      {"CRLF lines", {}, "rpc_url=http://x\r\nrpc_user=u\r\n", false, {.rpc_url = "http://x", .rpc_user = "u"}},
      {"only one carriage return removed", {}, "rpc_user=u\r\r\n", false, {.rpc_user = "u\r"}},
      {"comments only in the first column", {"-a", "cli"}, "#address=a\n #address=b\n", false, {.address = "cli"}},
      {"hash inside a value is text", {}, "rpc_password=pa#ss", false, {.rpc_password = "pa#ss"}},
      {"value keeps further equals signs", {}, "rpc_password=a=b=c\n", false, {.rpc_password = "a=b=c"}},
      {"empty value overrides", {"-a", "cli", "-u", "cli"}, "address=\nrpc_user=", false, {}},
      {"nothing trimmed",
       {},
       "rpc_url = http://x\nrpc_user =u\n address=z\nrpc_password= p \n",
       false,
       {.rpc_password = " p "}},
      {"unknown and case-different keys",
       {},
       "RPC_URL=x\nkernel_path=k.cl\nglobal_work_size=5\nbenchmark=1\nrpc_urlx=y\n",
       false,
       {}},
      {"line without equals sign", {}, "address\n\n\r\n=x\n", false, {}},
      {"coinbase text", {}, "coinbase=Hello from the pool\n", false, {.coinbase = "Hello from the pool"}},
      {"cookie file, the file's over the command line's",
       {"--rpc-cookie", "/cli/.cookie", "-u", "u"},
       "rpc_cookie=/file/.cookie\n",
       false,
       {.rpc_user = "u", .rpc_cookie = "/file/.cookie"}},
      {"cookie file from the command line", {"--rpc-cookie", "c"}, "", false, {.rpc_cookie = "c"}},
      {"last line without line feed", {}, "rpc_user=a\nrpc_user=last", false, {.rpc_user = "last"}},
      {"pool URLs repeat, a node URL stays apart",
       {"-o", "stratum+tcp://a:1", "-o", "http://node:2", "-o", "stratum+tcp://b:2"},
       "",
       false,
       {.rpc_url = "http://node:2", .pools = {{"stratum+tcp://a:1"}, {"stratum+tcp://b:2"}}}},
      {"the file's pool URLs replace the command line's",
       {"-o", "stratum+tcp://cli:1"},
       "pool_url=stratum+tcp://a:1\nrpc_user=w\npool_url=stratum+tcp://b:2\n",
       false,
       {.pools = {{"stratum+tcp://a:1"}, {"stratum+tcp://b:2"}}, .rpc_user = "w"}},
      {"no pool URL in the file keeps the command line's", {"-o", "stratum+tcp://cli:1"}, "rpc_user=w\n", false,
       {.pools = {{"stratum+tcp://cli:1"}}, .rpc_user = "w"}},
      {"file over command line, later line over earlier",
       {"-o", "http://cli", "-a", "cli"},
       "rpc_url=http://file\naddress=1\naddress=2\n",
       false,
       {.rpc_url = "http://file", .address = "2"}},
  };
  for (const OptionsCase& c : cases) {
    std::vector<const char*> argv = {"veltrane-miner"};
    for (const std::string& argument : c.arguments) argv.push_back(argument.c_str());
    MinerOptions options;
    const CommandLineResult result = parse_command_line(static_cast<int>(argv.size()), argv.data(), options);
    ASSERT_NE(result.action, CommandLineAction::reject) << c.name << ": " << result.problem;
    const bool help = result.action == CommandLineAction::show_usage;
    if (!help) apply_config_text(c.config, options);
    EXPECT_EQ(help, c.help) << c.name;
    EXPECT_EQ(options, c.expected) << c.name;
  }
}

// In pool mining -u, -p and --tls-fingerprint after a pool's URL are that pool's, those before the
// first pool URL everyone's; the file's pool_user, pool_password and pool_tls_fingerprint lines
// belong to its pool_url line before them.
TEST(MinerOptionsTest, CredentialsAndPinsBelongToThePoolBeforeThem) {
  const std::string a = "stratum+tcp://a:1";
  const std::string b = "stratum+tcp://b:2";
  const OptionsCase cases[] = {
      {"defaults before the first pool, own settings after",
       {"-u", "all", "-p", "pw", "--tls-fingerprint", "f0", "-o", a, "-o", b, "-u", "second", "--tls-fingerprint", "f2"},
       "",
       false,
       {.pools = {{a}, {b, "second", std::nullopt, "f2"}}, .rpc_user = "all", .rpc_password = "pw",
        .tls_fingerprint = "f0"}},
      {"each pool its own worker and password",
       {"-o", a, "-u", "X.first", "-p", "x", "-o", b, "-u", "X.second", "-p", "y"},
       "",
       false,
       {.pools = {{a, "X.first", "x"}, {b, "X.second", "y"}}}},
      {"a later -u for the same pool replaces its worker", {"-o", a, "-u", "one", "-u", "two"}, "", false,
       {.pools = {{a, "two"}}}},
      {"a node URL between does not end the pool's settings", {"-o", a, "-o", "http://node:1", "-u", "w"}, "", false,
       {.rpc_url = "http://node:1", .pools = {{a, "w"}}}},
      {"solo mining keeps -u and -p for the node", {"-o", "http://node:1", "-u", "u", "-p", "p"}, "", false,
       {.rpc_url = "http://node:1", .rpc_user = "u", .rpc_password = "p"}},
      {"file lines belong to the pool_url before them",
       {},
       "rpc_user=all\npool_url=" + a + "\npool_user=one\npool_password=p1\npool_url=" + b +
           "\npool_tls_fingerprint=f2\npool_user=two\n",
       false,
       {.pools = {{a, "one", "p1"}, {b, "two", std::nullopt, "f2"}}, .rpc_user = "all"}},
      {"an empty value is the pool's own, not the default", {}, "pool_url=" + a + "\npool_password=\n", false,
       {.pools = {{a, std::nullopt, ""}}}},
      {"the file's pools replace the command line's with their settings",
       {"-o", a, "-u", "cli"},
       "pool_url=" + b + "\n",
       false,
       {.pools = {{b}}}},
      {"a pool line before the file's first pool_url is ignored",
       {"-o", a, "-u", "cli"},
       "pool_user=file\n",
       false,
       {.pools = {{a, "cli"}}}},
  };
  for (const OptionsCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<const char*> argv = {"veltrane-miner"};
    for (const std::string& argument : c.arguments) argv.push_back(argument.c_str());
    MinerOptions options;
    ASSERT_EQ(parse_command_line(static_cast<int>(argv.size()), argv.data(), options).action, CommandLineAction::run);
    apply_config_text(c.config, options);
    EXPECT_EQ(options, c.expected);
  }
}

struct RejectedCase {
  std::vector<std::string> arguments;
  const char* problem;
};

// A typo must not start mining against the defaults, and a value option must not take the next
// option as its value.
TEST(MinerOptionsTest, UnknownArgumentOrMissingValueIsRejectedByName) {
  const RejectedCase cases[] = {
      {{"--list-gpu"}, "  [!] Unknown option: --list-gpu"},
      {{"-a", "addr", "-x"}, "  [!] Unknown option: -x"},
      {{"--url", "http://node:1"}, "  [!] Unknown option: --url"},
      {{"--BENCHMARK"}, "  [!] Unknown option: --BENCHMARK"},
      {{"--list-gpus=1"}, "  [!] Unknown option: --list-gpus=1"},
      {{"-a=addr"}, "  [!] Unknown option: -a=addr"},
      {{"-ua"}, "  [!] Unknown option: -ua"},
      {{"stray"}, "  [!] Unknown option: stray"},
      {{""}, "  [!] Unknown option: "},
      {{"-u", "bob", "-a"}, "  [!] Option -a needs a value"},
      {{"-G"}, "  [!] Option -G needs a value"},
      // Stops at the first problem; a later "-h" is not reached.
      {{"-x", "-h"}, "  [!] Unknown option: -x"},
  };
  for (const RejectedCase& c : cases) {
    std::vector<const char*> argv = {"veltrane-miner"};
    for (const std::string& argument : c.arguments) argv.push_back(argument.c_str());
    MinerOptions options;
    const CommandLineResult result = parse_command_line(static_cast<int>(argv.size()), argv.data(), options);
    EXPECT_EQ(result.action, CommandLineAction::reject) << c.problem;
    EXPECT_EQ(result.problem, c.problem);
  }
}

TEST(MinerOptionsTest, ChosenDevicesInOrderWithoutRepeats) {
  struct Case {
    MinerOptions options;
    int available;
    std::vector<std::int32_t> expected;
  };
  const Case cases[] = {
      {{}, 0, {0}},  // a single index is passed on even when nothing is there: set-up reports it
      {{.device_id = 3}, 2, {3}},
      {{.all_devices = true}, 3, {0, 1, 2}},
      {{.all_devices = true}, 0, {}},
      {{.device_id = 1, .device_ids = {1, 0, 1, 5}}, 2, {1, 0, 5}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(chosen_devices(c.options, c.available), c.expected) << ::testing::PrintToString(c.options);
  }
}

// The file's semantics stay (the table above); what changes is that the user hears of each line
// that had no effect.
TEST(ConfigFileTest, WarnsOncePerIgnoredLineWithItsNumber) {
  const std::string text =
      "# payout\n"                 // 1: comment
      "address = tvtr1qexample\n"  // 2: the key has blanks
      "\n"                         // 3: empty
      "rpc_user=u\r\n"              // 4: fine
      "rpc_password\n"             // 5: no "="
      " #rpc_url=x\n"              // 6: not a comment, unknown key
      "kernel_path=k.cl\n"         // 7: not a file key
      "rpc_password=a=b\n"         // 8: fine
      "pool_user=w";               // 9: no pool_url line before it
  MinerOptions options;
  const std::vector<std::string> warnings = apply_config_text(text, options);
  const std::vector<std::string> expected = {
      "  [!] veltrane-miner.conf line 2 ignored: unknown key \"address \" (nothing is trimmed: write "
      "address=VALUE without blanks)\n",
      "  [!] veltrane-miner.conf line 5 ignored: no \"=\" (lines are key=value)\n",
      "  [!] veltrane-miner.conf line 6 ignored: unknown key \" #rpc_url\" (the keys are rpc_url, rpc_user, "
      "rpc_password, rpc_cookie, address, coinbase, api_listen, log_file, log_max_mb, pool_url, pool_user, "
      "pool_password, pool_tls_fingerprint)\n",
      "  [!] veltrane-miner.conf line 7 ignored: unknown key \"kernel_path\" (the keys are rpc_url, rpc_user, "
      "rpc_password, rpc_cookie, address, coinbase, api_listen, log_file, log_max_mb, pool_url, pool_user, "
      "pool_password, pool_tls_fingerprint)\n",
      "  [!] veltrane-miner.conf line 9 ignored: pool_user before any pool_url line (it belongs to the pool_url "
      "line before it)\n",
  };
  EXPECT_EQ(warnings, expected);
  EXPECT_EQ(options, (MinerOptions{.rpc_user = "u", .rpc_password = "a=b"}));
}

// Keys from the file reach the console only as printable text of at most 80 characters: no
// escape sequences, no binary, no megabytes of one line.
TEST(ConfigFileTest, WarningsShowPrintableTextCutTo80Characters) {
  const std::string long_key(10'000'000, 'k');
  struct Case {
    const char* name;
    std::string line;
    std::string shown_key;
  };
  const std::vector<Case> cases = {
      {"escape sequences", "\x1b[2J\x1b]0;owned\x07rpc_url=x", "?[2J?]0;owned?rpc_url"},
      {"binary", std::string("\x00\xff\x01\xfe=x", 5), "????"},
      {"ten megabytes", long_key + "=x", std::string(77, 'k') + "..."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MinerOptions options;
    const std::vector<std::string> warnings = apply_config_text(c.line, options);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].substr(0, warnings[0].find(" (")),
              "  [!] veltrane-miner.conf line 1 ignored: unknown key \"" + c.shown_key + "\"");
    EXPECT_LE(c.shown_key.size(), 80u);
  }
}

// The scheme decides, in any letter case; a URL without one is the node's, as it always was.
TEST(MinerOptionsTest, UrlSchemesChooseNodeOrPoolOrAreNotTaken) {
  const struct {
    const char* url;
    UrlKind kind;
  } cases[] = {
      {"http://127.0.0.1:8899", UrlKind::node},
      {"HTTPS://node.example:8899/wallet/w", UrlKind::node},
      {"127.0.0.1:8899", UrlKind::node},
      {"node.example", UrlKind::node},
      {"node:8899/path://x", UrlKind::node},
      {"", UrlKind::node},
      {"stratum+tcp://pool:3333", UrlKind::pool},
      {"Stratum+TCP://pool:3333", UrlKind::pool},
      {"stratum://pool:3333", UrlKind::unsupported},
      {"stratum+ssl://pool:3333", UrlKind::pool},
      {"Stratum+TLS://pool:3333", UrlKind::pool},
      {"tcp://pool:3333", UrlKind::unsupported},
      {"SSL://pool:3333", UrlKind::unsupported},
      {"ftp://node", UrlKind::unsupported},
      {"stratum+tcp:/pool:3333", UrlKind::node},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(url_kind(c.url), c.kind);
  }
  EXPECT_EQ(with_lower_case_scheme("STRATUM+TCP://Pool.Example:3333"), "stratum+tcp://Pool.Example:3333");
  EXPECT_EQ(with_lower_case_scheme("Node:8899/A://B"), "Node:8899/A://B");

  MinerOptions options;
  const char* const arguments[] = {"veltrane-miner", "-o", "STRATUM+TCP://pool:3333", "-o", "HTTP://node:1"};
  ASSERT_EQ(parse_command_line(5, arguments, options).action, CommandLineAction::run);
  EXPECT_EQ(options.pools, std::vector<PoolOption>{{"STRATUM+TCP://pool:3333"}});
  EXPECT_EQ(options.rpc_url, "HTTP://node:1");
}

TEST(ConfigFileTest, NamesTheCommandLineOptionsTheFileReplaced) {
  struct Case {
    const char* name;
    MinerOptions command_line;
    std::string config;
    std::vector<std::string> overridden;
  };
  const Case cases[] = {
      {"nothing on the command line", {}, "address=x\nrpc_user=u\n", {}},
      {"same value", {.address = "x"}, "address=x\n", {}},
      {"address emptied", {.address = "x"}, "address=\n", {"-a"}},
      {"all four",
       {.rpc_url = "http://cli", .rpc_user = "cu", .rpc_password = "cp", .address = "ca"},
       "rpc_url=http://f\nrpc_user=fu\nrpc_password=fp\naddress=fa\n",
       {"-o", "-u", "-p", "-a"}},
      {"key with a blank changes nothing", {.address = "x"}, "address =y\n", {}},
  };
  for (const Case& c : cases) {
    MinerOptions options = c.command_line;
    apply_config_text(c.config, options);
    EXPECT_EQ(options_overridden_by_file(c.command_line, options), c.overridden) << c.name;
  }
}

// Runs a test body in a fresh empty working directory, restoring the old one afterwards.
class WorkingDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::current_path(directory_.path); }
  void TearDown() override { std::filesystem::current_path(previous_); }
  std::filesystem::path previous_ = std::filesystem::current_path();
  test_support::TemporaryDirectory directory_;
};

TEST_F(WorkingDirectoryTest, MissingConfigFileChangesNothing) {
  MinerOptions options;
  options.address = "cli";
  read_config_file(options);
  EXPECT_EQ(options, MinerOptions{.address = "cli"});
}

TEST_F(WorkingDirectoryTest, ConfigFileIsReadFromTheWorkingDirectory) {
  std::ofstream(config_file_name, std::ios::binary) << "address=file\r\nrpc_user=u\nrpc_pass=x";
  MinerOptions options;
  options.address = "cli";
  testing::internal::CaptureStdout();
  read_config_file(options);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "  [!] veltrane-miner.conf line 3 ignored: unknown key \"rpc_pass\" (the keys are rpc_url, rpc_user, "
            "rpc_password, rpc_cookie, address, coinbase, api_listen, log_file, log_max_mb, pool_url, pool_user, "
      "pool_password, pool_tls_fingerprint)\n"
            "  [*] veltrane-miner.conf overrides the command line: -a\n");
  EXPECT_EQ(options, (MinerOptions{.rpc_user = "u", .address = "file"}));
}

}  // namespace
