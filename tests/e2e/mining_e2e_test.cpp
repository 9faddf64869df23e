// The real executable against the local test node, on whatever OpenCL device is there.

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/test_support.h"

namespace {

using test_support::ChildProcess;
using test_support::count_occurrences;

const std::string source_dir = VELTRANE_SOURCE_DIR;
// The miner runs in the build folder, where its kernel file lies beside it.
const std::string binary_dir = VELTRANE_BINARY_DIR;
const std::string miner_path = binary_dir + "/veltrane-miner";
const std::string testnode_path = source_dir + "/tools/testnode/testnode.py";
const std::string control_path = source_dir + "/tools/testnode/control.py";
const std::string payout_address = "tvtr1ql58gw3ecx3a9y5fstph3q44qrv6x73uh09k7tf";
constexpr double node_start_seconds = 10;
// Kernel builds on a CPU device take a while; every wait below allows for that.
constexpr double miner_start_seconds = 60;

struct TestNode {
  std::unique_ptr<ChildProcess> process;
  std::string url;
  std::string credentials;  // control.py's options for a node started with another password
};

TestNode start_node(std::vector<std::string> options) {
  std::vector<std::string> argv = {"python3", testnode_path, "--port", "0"};
  argv.insert(argv.end(), options.begin(), options.end());
  TestNode node{std::make_unique<ChildProcess>(argv), "", ""};
  if (const auto password = std::find(options.begin(), options.end(), "--password"); password != options.end()) {
    node.credentials = "--password " + *(password + 1);
  }
  EXPECT_TRUE(node.process->wait_for_output("http://127.0.0.1:", node_start_seconds)) << node.process->output();
  const std::string output = node.process->output();
  const std::string prefix = "http://127.0.0.1:";
  const std::size_t start = output.find(prefix);
  if (start != std::string::npos) {
    const std::size_t end = output.find_first_not_of("0123456789", start + prefix.size());
    node.url = output.substr(start, end - start);
  }
  return node;
}

std::string node_control(const TestNode& node, const std::string& command) {
  return test_support::run_command("python3 " + control_path + " --url " + node.url + " " + node.credentials + " " +
                                   command + " 2>&1")
      .output;
}

// Blocks the node accepted, from its summary.
std::size_t node_accepted_blocks(const TestNode& node) {
  const std::string summary = node_control(node, "summary");
  const std::size_t begin = summary.find("\"accepted\": [");
  const std::size_t end = summary.find(']', begin);
  if (begin == std::string::npos || end == std::string::npos) return 0;
  return count_occurrences(std::string_view(summary).substr(begin, end - begin), "\"hash\"");
}

std::unique_ptr<ChildProcess> start_miner(const std::string& url, std::vector<std::string> options = {}) {
  std::vector<std::string> argv = {miner_path, "-o", url, "-u", "veltrane", "-p", "veltrane", "-G", "256", "-L", "64"};
  argv.insert(argv.end(), options.begin(), options.end());
  if (std::find(options.begin(), options.end(), "-a") == options.end()) {
    argv.push_back("-a");
    argv.push_back(payout_address);
  }
  return std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{{"VELTRANE_DEVICE_TYPE", "all"}},
                                        binary_dir);
}

// Stops the miner the way a user does and returns its exit code.
int interrupt(ChildProcess& miner) {
  miner.send_signal(SIGINT);
  const auto code = miner.wait_exit(30);
  EXPECT_TRUE(code.has_value()) << "the miner did not stop after SIGINT";
  return code.value_or(-99);
}

// Positions of the lines in order; fails when one is missing or out of order.
void expect_in_order(const std::string& output, const std::vector<std::string>& lines) {
  std::size_t position = 0;
  for (const std::string& line : lines) {
    const std::size_t found = output.find(line, position);
    ASSERT_NE(found, std::string::npos) << "missing, or out of order: \"" << line << "\" in\n" << output;
    position = found + line.size();
  }
}

TEST(MiningEndToEnd, BlocksAreFoundSubmittedAcceptedAndCounted) {
  struct Case {
    const char* name;
    std::vector<std::string> node_options;
  };
  const Case cases[] = {
      {"segwit template with transactions", {"--transactions", "3"}},
      {"template without witness commitment", {"--transactions", "2", "--no-witness-commitment"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestNode node = start_node(c.node_options);
    auto miner = start_miner(node.url);
    ASSERT_TRUE(miner->wait_for_output("[+] ACCEPTED!", miner_start_seconds, 2)) << miner->output();
    EXPECT_EQ(interrupt(*miner), 0);

    const std::string output = miner->output();
    expect_in_order(output, {"  Veltrane OpenCL Miner v1.1\n", "  [*] Dev fee: 1% per block (22-byte script)\n",
                             "  [*] Requesting block template...\n", "  [+] Height 1", "  [*] Mining h=",
                             "\n  [*] BLOCK FOUND! Nonce=", "  [*] Submitting...\n", "  [+] ACCEPTED!\n\n",
                             "  [*] Requesting block template...\n", "  [+] Height ", "\n  [*] Done. "});
    const std::size_t accepted = count_occurrences(output, "[+] ACCEPTED!");
    EXPECT_NE(output.find(" hashes, " + std::to_string(accepted) + " blocks\n"), std::string::npos) << output;
    EXPECT_EQ(count_occurrences(output, "[!] REJECTED"), 0u) << output;
    EXPECT_EQ(node_accepted_blocks(node), accepted) << node_control(node, "summary");
  }
}

TEST(MiningEndToEnd, RejectedBlockIsNotCountedAndTheSameTipPrintsNoNewHeight) {
  TestNode node = start_node({"--reject-all"});
  auto miner = start_miner(node.url);
  ASSERT_TRUE(miner->wait_for_output("[!] REJECTED", miner_start_seconds, 2)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  EXPECT_EQ(count_occurrences(output, "  [+] Height "), 1u) << output;
  EXPECT_EQ(count_occurrences(output, "ACCEPTED"), 0u) << output;
  EXPECT_NE(output.find(" hashes, 0 blocks\n"), std::string::npos) << output;
  expect_in_order(output, {"  [!] REJECTED\n\n", "  [*] Requesting block template...\n", "  [*] Mining h="});
}

TEST(MiningEndToEnd, NewBestBlockOnTheNodeEndsTheJob) {
  TestNode node = start_node({"--difficulty", "hard"});
  auto miner = start_miner(node.url);
  ASSERT_TRUE(miner->wait_for_output("[*] Mining h=", miner_start_seconds)) << miner->output();
  node_control(node, "advancetip");
  // The tip is polled every 5 seconds between batches.
  ASSERT_TRUE(miner->wait_for_output("\n  [*] New block\n", 30)) << miner->output();
  ASSERT_TRUE(miner->wait_for_output("  [+] Height ", 30, 2)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  expect_in_order(miner->output(), {"  [*] Mining h=", "\n  [*] New block\n", "  [*] Requesting block template...\n",
                                    "  [+] Height ", "  [*] Mining h=", "\n  [*] Done. ", " hashes, 0 blocks\n"});
}

TEST(MiningEndToEnd, NodeDownThenBackAndStopDuringTheWait) {
  std::string url;
  std::string port;
  {
    TestNode probe = start_node({});
    url = probe.url;
    port = url.substr(url.rfind(':') + 1);
  }  // the node is gone: its port refuses connections now
  auto miner = start_miner(url);
  ASSERT_TRUE(miner->wait_for_output("  [!] Invalid template\n", miner_start_seconds, 2)) << miner->output();

  std::vector<std::string> argv = {"python3", testnode_path, "--port", port};
  ChildProcess node(argv);
  ASSERT_TRUE(miner->wait_for_output("  [+] Height ", 30)) << miner->output();
  ASSERT_TRUE(miner->wait_for_output("  [*] Mining h=", 30)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  expect_in_order(miner->output(), {"  [!] Invalid template\n", "  [*] Requesting block template...\n",
                                    "  [!] Invalid template\n", "  [+] Height ", "\n  [*] Done. "});
}

TEST(MiningEndToEnd, StopDuringTheFiveSecondWaitStillEndsCleanly) {
  std::string url;
  {
    TestNode probe = start_node({});
    url = probe.url;
  }
  auto miner = start_miner(url);
  ASSERT_TRUE(miner->wait_for_output("  [!] Invalid template\n", miner_start_seconds)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  EXPECT_NE(output.find("\n  [*] Done. 0 hashes, 0 blocks\n"), std::string::npos) << output;
  EXPECT_EQ(count_occurrences(output, "  [!] Invalid template\n"), 1u) << "the wait is finished, not repeated";
}

TEST(MiningEndToEnd, PayoutAddressThatDoesNotDecodeEndsWithExitCodeOne) {
  TestNode node = start_node({});
  auto miner = start_miner(node.url, {"-a", "vtr1notanaddress"});
  const auto code = miner->wait_exit(miner_start_seconds);
  ASSERT_TRUE(code.has_value()) << miner->output();
  EXPECT_EQ(*code, 1);
  expect_in_order(miner->output(), {"  [*] Requesting block template...\n", "  [+] Height ", "  [!] Bad address\n"});
}

TEST(MiningEndToEnd, CandidateThatFailsTheCpuCheckIsNotSubmitted) {
  TestNode node = start_node({"--difficulty", "hard"});
  auto miner = start_miner(node.url, {"-k", source_dir + "/tests/e2e/faulty_kernel.cl"});
  ASSERT_TRUE(miner->wait_for_output("  [!] CPU rejected hash\n", miner_start_seconds, 2)) << miner->output();
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string output = miner->output();
  expect_in_order(output, {"  [*] Mining h=", "  [!] CPU rejected hash\n", "  [*] Requesting block template...\n"});
  EXPECT_EQ(count_occurrences(output, "Submitting"), 0u) << output;
  EXPECT_EQ(node_control(node, "summary").find("\"submitblock\""), std::string::npos) << "nothing was submitted";
}

// The monitoring API of a running miner.

// The port from "API listening on http://127.0.0.1:PORT/".
int api_port(const std::string& output) {
  const std::string prefix = "  [*] API listening on http://127.0.0.1:";
  const std::size_t start = output.find(prefix);
  return start == std::string::npos ? 0 : std::atoi(output.c_str() + start + prefix.size());
}

std::string api_get(int port, const std::string& path) {
  httplib::Client http("127.0.0.1", port);
  http.set_read_timeout(30, 0);
  auto response = http.Get(path);
  EXPECT_TRUE(response) << path;
  if (!response) return "";
  EXPECT_EQ(response->status, 200) << path;
  return response->body;
}

// The number after the last occurrence of key ("diff=", "[") in the console output.
double last_number_after(const std::string& output, const std::string& key) {
  const std::size_t at = output.rfind(key);
  return at == std::string::npos ? -1 : std::atof(output.c_str() + at + key.size());
}

// The last progress line's rate in hashes per second ("\r  [1.23 MH/s] h=...").
double console_rate(const std::string& output) {
  const std::size_t line = output.rfind("\r  [");
  if (line == std::string::npos) return -1;
  const char* text = output.c_str() + line + 4;
  char* unit = nullptr;
  double rate = std::strtod(text, &unit);
  const std::string units = std::string(unit, 6);
  const char* prefixes = " KMGT";
  const std::size_t step = std::string_view(prefixes).find(units[1]);
  for (std::size_t i = 0; i < step && step != std::string_view::npos; ++i) rate *= 1000;
  return rate;
}

// Metrics parsed by prometheus_client's text parser (tests/api/parse_metrics.py).
nlohmann::json parse_metrics(const std::string& text) {
  test_support::TemporaryFile file(text, ".txt");
  const auto result = test_support::run_command("/usr/bin/python3 " + source_dir + "/tests/api/parse_metrics.py < " +
                                                file.path.string() + " 2>&1");
  EXPECT_EQ(result.exit_code, 0) << result.output << "\n" << text;
  return result.exit_code == 0 ? nlohmann::json::parse(result.output) : nlohmann::json::array();
}

double metric_value(const nlohmann::json& samples, const std::string& name, const nlohmann::json& labels = {}) {
  for (const auto& sample : samples) {
    if (sample["name"] != name) continue;
    bool match = true;
    for (const auto& [key, value] : labels.items()) match = match && sample["labels"].value(key, "") == value;
    if (match) return sample["value"];
  }
  ADD_FAILURE() << "no sample " << name << " " << labels.dump();
  return -1;
}

TEST(MonitoringApiEndToEnd, SummaryAndMetricsAgreeWithTheConsoleAndTheNode) {
  const std::string password = "n0de-s3cret";
  TestNode node = start_node({"--password", password});
  auto miner = start_miner(node.url, {"--api-listen", "127.0.0.1:0", "-p", password});
  ASSERT_TRUE(miner->wait_for_output("  [*] API listening on http://127.0.0.1:", miner_start_seconds)) << miner->output();
  const int port = api_port(miner->output());
  ASSERT_GT(port, 0) << miner->output();
  ASSERT_TRUE(miner->wait_for_output("[+] ACCEPTED!", miner_start_seconds, 2)) << miner->output();

  // No more blocks from here on, so that every count holds still: the job under way may still
  // find one, the next template is out of reach.
  node_control(node, "settarget hard");
  for (int i = 0; i < 600 && last_number_after(miner->output(), "diff=") < 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_GE(last_number_after(miner->output(), "diff="), 1) << miner->output();
  // The history's first sample comes after 10 s of mining.
  nlohmann::json history;
  for (int i = 0; i < 60; ++i) {
    history = nlohmann::json::parse(api_get(port, "/api/history"));
    if (!history["samples"].empty()) break;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  ASSERT_FALSE(history["samples"].empty()) << history.dump();
  EXPECT_GT(history["samples"].back()["total"].get<double>(), 0);
  ASSERT_TRUE(miner->wait_for_output("\r  [", 60)) << "a progress line";

  const std::string output = miner->output();
  const std::string summary_text = api_get(port, "/api/summary");
  const std::string metrics_text = api_get(port, "/metrics");
  for (const std::string& body : {summary_text, metrics_text, api_get(port, "/")}) {
    EXPECT_EQ(body.find(password), std::string::npos) << body;
  }
  const auto summary = nlohmann::json::parse(summary_text);
  const nlohmann::json metrics = parse_metrics(metrics_text);

  // The job under way when the target changed may still submit a block that the node now
  // refuses: the API counts it as the console does.
  const std::size_t accepted = count_occurrences(output, "[+] ACCEPTED!");
  const std::size_t rejected = count_occurrences(output, "[!] REJECTED");
  EXPECT_EQ(summary["totals"]["blocks_accepted"], accepted) << summary.dump(1);
  EXPECT_EQ(node_accepted_blocks(node), accepted);
  EXPECT_EQ(summary["totals"]["blocks_rejected"], rejected);
  EXPECT_EQ(summary["blocks"].size(), std::min<std::size_t>(accepted + rejected, 50));
  const auto newest_accepted = std::find_if(summary["blocks"].begin(), summary["blocks"].end(),
                                            [](const nlohmann::json& block) { return block["verdict"] == "accepted"; });
  ASSERT_NE(newest_accepted, summary["blocks"].end());
  EXPECT_NE(node_control(node, "summary").find((*newest_accepted)["hash"].get<std::string>()), std::string::npos)
      << "the block's hash is the one the node shows";
  EXPECT_EQ(summary["node"]["url"], node.url);
  EXPECT_EQ(summary["node"]["reachable"], true);
  EXPECT_EQ(summary["node"]["height"].get<double>(), last_number_after(output, "Mining h="));
  ASSERT_EQ(summary["devices"].size(), 1u);
  EXPECT_EQ(summary["devices"][0]["hashes"], summary["totals"]["hashes"]);
  EXPECT_GT(summary["totals"]["hashes"].get<double>(), 0);
  // Both are the whole run's average; they differ by the moments they were taken.
  const double api_rate = summary["totals"]["hash_rate"]["run"];
  EXPECT_NEAR(api_rate, console_rate(output), 0.25 * console_rate(output)) << output;

  EXPECT_EQ(metric_value(metrics, "veltrane_blocks_total", {{"result", "accepted"}}), static_cast<double>(accepted));
  EXPECT_GE(metric_value(metrics, "veltrane_device_hashes_total", {{"device", "0"}}),
            summary["totals"]["hashes"].get<double>());
  EXPECT_EQ(metric_value(metrics, "veltrane_node_reachable"), 1);
  EXPECT_EQ(metric_value(metrics, "veltrane_node_height"), summary["node"]["height"].get<double>());
  EXPECT_EQ(metric_value(metrics, "veltrane_build_info", {{"version", summary["version"]}}), 1);
  EXPECT_GT(metric_value(metrics, "veltrane_uptime_seconds"), 10);

  const auto before_stop = nlohmann::json::parse(api_get(port, "/api/summary"));
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string done = miner->output();
  EXPECT_NE(done.find(" hashes, " + std::to_string(accepted) + " blocks\n"), std::string::npos) << done;
  EXPECT_GE(last_number_after(done, "[*] Done. "), before_stop["totals"]["hashes"].get<double>());
}

// The page in a real browser: headless Chromium loads it from the running miner, the chart
// draws the history's samples, and nothing goes to the browser's console.
TEST(MonitoringApiEndToEnd, DashboardPageDrawsTheChartInChromium) {
  if (test_support::run_command("command -v chromium").exit_code != 0) GTEST_SKIP() << "chromium is not installed";
  TestNode node = start_node({"--difficulty", "hard"});
  auto miner = start_miner(node.url, {"--api-listen", "0"});
  ASSERT_TRUE(miner->wait_for_output("  [*] API listening on http://127.0.0.1:", miner_start_seconds)) << miner->output();
  const int port = api_port(miner->output());
  for (int i = 0; i < 90 && nlohmann::json::parse(api_get(port, "/api/history"))["samples"].size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }

  test_support::TemporaryDirectory profile;
  const std::string screenshot = binary_dir + "/api-dashboard.png";
  std::filesystem::remove(screenshot);
  const std::string browser = "chromium --headless=new --no-sandbox --disable-gpu --no-first-run --user-data-dir=" +
                              profile.path.string() +
                              " --enable-logging=stderr --v=0 --virtual-time-budget=8000 --window-size=1100,1400 ";
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  const auto dom = test_support::run_command(browser + "--dump-dom " + url + " 2>" + profile.path.string() + "/log.txt");
  const std::string log = test_support::read_file(profile.path / "log.txt");
  const auto shot = test_support::run_command(browser + "--screenshot=" + screenshot + " " + url + " 2>&1");

  EXPECT_EQ(dom.exit_code, 0) << log;
  const std::size_t points = dom.output.find("data-points=\"");
  ASSERT_NE(points, std::string::npos) << dom.output;
  EXPECT_GE(std::atoi(dom.output.c_str() + points + 13), 2) << dom.output;
  EXPECT_NE(dom.output.find("<polyline"), std::string::npos);
  EXPECT_NE(dom.output.find("updated "), std::string::npos) << "the status line says the data arrived";
  EXPECT_EQ(log.find("CONSOLE"), std::string::npos) << log;
  EXPECT_TRUE(std::filesystem::exists(screenshot) && std::filesystem::file_size(screenshot) > 10'000) << shot.output;
  EXPECT_EQ(interrupt(*miner), 0);
}

}  // namespace
