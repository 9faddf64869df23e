// The monitoring API of the real executable mining against the local test node: the JSON and
// the metrics agree with the console and the node, and the page works in a real browser.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "e2e/api_client.h"
#include "e2e/e2e_support.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace {

using test_support::count_occurrences;
using namespace e2e;

const std::string binary_dir = VELTRANE_BINARY_DIR;

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

TEST(MonitoringApiEndToEnd, SummaryAndMetricsAgreeWithTheConsoleAndTheNode) {
  TestNode node = start_node({});
  // History intervals of 1 s instead of 10 s: the first sample comes sooner.
  auto miner = start_miner(node.url, {"--api-listen", "127.0.0.1:0"}, shortened_timings("stats_history_interval=1"));
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
  // The history's first sample comes after one interval of mining.
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
  // The credentials (veltrane:veltrane) in no form: Basic authorisation, Base64 or user:password.
  for (const std::string& body : {summary_text, metrics_text, api_get(port, "/")}) {
    for (const char* secret : {"Basic ", "dmVsdHJhbmU6dmVsdHJhbmU", "veltrane:veltrane", "veltrane@"}) {
      EXPECT_EQ(body.find(secret), std::string::npos) << secret;
    }
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
  EXPECT_EQ(summary["rig"], nlohmann::json({{"mode", "solo"}, {"payout_address", payout_address}, {"worker", nullptr},
                                            {"pools", nlohmann::json::array()}}));
  EXPECT_NEAR(summary["start_time"].get<double>(),
              summary["time"].get<double>() - summary["uptime_seconds"].get<double>(), 0.01);
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
  EXPECT_GT(metric_value(metrics, "veltrane_uptime_seconds"), 1) << "at least one history interval";

  const auto before_stop = nlohmann::json::parse(api_get(port, "/api/summary"));
  EXPECT_EQ(interrupt(*miner), 0);
  const std::string done = miner->output();
  EXPECT_NE(done.find(" hashes, " + std::to_string(accepted) + " blocks\n"), std::string::npos) << done;
  EXPECT_GE(last_number_after(done, "[*] Done. "), before_stop["totals"]["hashes"].get<double>());
}

// Two devices, each on its own thread: the summary lists both with their own hashes, which add
// up to the total, and each found block names the device the console named. Their sensors come
// from both sources, matched by the PCI addresses the test gives them: the first card from the
// fake NVML library, the second from amdgpu's files in a made-up sysfs tree.
TEST(MonitoringApiEndToEnd, EveryDeviceReportsItsOwnHashesAndBlocks) {
  TestNode node = start_node({});
  const test_support::TemporaryDirectory sysfs;
  const std::filesystem::path hwmon = sysfs.path / "bus/pci/devices/0000:04:00.0/hwmon/hwmon2";
  std::filesystem::create_directories(hwmon);
  std::ofstream(hwmon / "temp1_input") << "58000\n";
  std::ofstream(hwmon / "pwm1") << "51\n";
  std::ofstream(hwmon / "power1_average") << "95000000\n";
  const std::map<std::string, std::string> environment = {
      {"POCL_DEVICES", "pthread pthread"},
      {"VELTRANE_TEST_TIMINGS", "sensor_interval=0.2"},
      {"VELTRANE_TEST_SENSORS", "sysfs_root=" + sysfs.path.string() + ";nvml=" + FAKE_NVML_PATH +
                                    ";bus_ids=0000:03:00.0,0000:04:00.0"},
      {"FAKE_NVML_DEVICES", "0000:03:00.0=66,45,150000,1800"}};
  auto miner = start_miner(node.url, {"-d", "all", "--api-listen", "127.0.0.1:0"}, environment);
  ASSERT_TRUE(miner->wait_for_output("  [*] API listening on http://127.0.0.1:", 2 * miner_start_seconds))
      << miner->output();
  const int port = api_port(miner->output());
  ASSERT_GT(port, 0) << miner->output();
  for (const char* device : {"BLOCK FOUND on device 0!", "BLOCK FOUND on device 1!"}) {
    ASSERT_TRUE(miner->wait_for_output(device, 2 * miner_start_seconds)) << miner->output();
  }
  // No more blocks from here on, so that the counts hold still (a found nonce of the easy tip's
  // jobs is dropped once the tip has moved).
  node_control(node, "settarget hard");
  for (int i = 0; i < 600 && last_number_after(miner->output(), "diff=") < 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_GE(last_number_after(miner->output(), "diff="), 1) << miner->output();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const std::string output = miner->output();
  const auto summary = nlohmann::json::parse(api_get(port, "/api/summary"));
  const nlohmann::json metrics = parse_metrics(api_get(port, "/metrics"));
  EXPECT_EQ(interrupt(*miner), 0);

  ASSERT_EQ(summary["devices"].size(), 2u) << summary.dump(1);
  double device_hashes = 0;
  for (int index = 0; index < 2; ++index) {
    const auto& device = summary["devices"][static_cast<std::size_t>(index)];
    EXPECT_EQ(device["index"], index);
    EXPECT_FALSE(device["name"].get<std::string>().empty());
    EXPECT_EQ(device["bus_id"], index == 0 ? "0000:03:00.0" : "0000:04:00.0");
    EXPECT_EQ(device["sensors"]["temperature_c"], index == 0 ? 66 : 58) << device.dump();
    EXPECT_EQ(device["sensors"]["fan_percent"], index == 0 ? 45 : 20) << device.dump();
    EXPECT_EQ(device["sensors"]["power_watts"], index == 0 ? 150 : 95) << device.dump();
    EXPECT_GT(device["hashes_per_joule"].get<double>(), 0) << device.dump();
    EXPECT_EQ(metric_value(metrics, "veltrane_device_temperature_celsius", {{"device", std::to_string(index)}}),
              index == 0 ? 66 : 58);
    EXPECT_GT(device["hashes"].get<double>(), 0) << device.dump();
    EXPECT_GT(metric_value(metrics, "veltrane_device_hashes_total", {{"device", std::to_string(index)}}), 0);
    device_hashes += device["hashes"].get<double>();
    const std::size_t found_on_console =
        count_occurrences(output, "BLOCK FOUND on device " + std::to_string(index) + "!");
    EXPECT_EQ(device["blocks_found"], found_on_console) << device.dump();
    EXPECT_TRUE(std::any_of(summary["blocks"].begin(), summary["blocks"].end(),
                            [index](const nlohmann::json& block) { return block["device"] == index; }))
        << summary["blocks"].dump(1);
  }
  EXPECT_EQ(device_hashes, summary["totals"]["hashes"].get<double>());
  EXPECT_NE(output.find(" 66\u00b0C 45% 150W"), std::string::npos) << "the progress line: " << output;
  EXPECT_NE(output.find(" 58\u00b0C 20% 95W"), std::string::npos) << output;
}

// The page in a real browser: headless Chromium loads it from the running miner, the chart
// draws the history's samples, and nothing goes to the browser's console.
TEST(MonitoringApiEndToEnd, DashboardPageDrawsTheChartInChromium) {
  if (!chromium_available()) GTEST_SKIP() << "chromium is not installed";
  TestNode node = start_node({"--difficulty", "hard"});
  auto miner = start_miner(node.url, {"--api-listen", "0"}, shortened_timings("stats_history_interval=1"));
  ASSERT_TRUE(miner->wait_for_output("  [*] API listening on http://127.0.0.1:", miner_start_seconds)) << miner->output();
  const int port = api_port(miner->output());
  for (int i = 0; i < 90 && nlohmann::json::parse(api_get(port, "/api/history"))["samples"].size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }

  const std::string screenshot = binary_dir + "/api-dashboard.png";
  std::filesystem::remove(screenshot);
  const BrowserPage page = render_dashboard(port, screenshot);

  EXPECT_EQ(page.exit_code, 0) << page.log;
  const std::size_t points = page.dom.find("data-points=\"");
  ASSERT_NE(points, std::string::npos) << page.dom;
  EXPECT_GE(std::atoi(page.dom.c_str() + points + 13), 2) << page.dom;
  EXPECT_NE(page.dom.find("<polyline"), std::string::npos);
  EXPECT_NE(page.dom.find("updated "), std::string::npos) << "the status line says the data arrived";
  EXPECT_EQ(page.log.find("CONSOLE"), std::string::npos) << page.log;
  EXPECT_TRUE(std::filesystem::exists(screenshot) && std::filesystem::file_size(screenshot) > 10'000);
  EXPECT_EQ(interrupt(*miner), 0);
}

}  // namespace
