// The summary and history JSON and the metrics text made from a known snapshot.

#include "api/api_documents.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

StatsSnapshot sample_snapshot() {
  StatsSnapshot snapshot;
  snapshot.uptime_seconds = 125.5;
  snapshot.unix_time = 1'800'000'000;
  DeviceSnapshot device;
  device.index = 2;
  device.name = "Card \"A\"\\B\nC";
  device.rates = {1500, 1400, 1300};
  device.hashes = 9'007'199'254'740'993ull;  // above 2^53: must not pass through a double
  device.blocks_found = 3;
  snapshot.devices.push_back(device);
  snapshot.total_rates = device.rates;
  snapshot.total_hashes = device.hashes;
  snapshot.blocks_found = 3;
  snapshot.blocks_accepted = 2;
  snapshot.blocks_rejected = 1;
  snapshot.node.url = "http://127.0.0.1:8899";
  snapshot.node.reachable = true;
  snapshot.node.has_template = true;
  snapshot.node.height = 812;
  snapshot.node.tip = "00ff";
  snapshot.template_age_seconds = 4.25;
  FoundBlockRecord block;
  block.time = 1'799'999'999;
  block.height = 811;
  block.hash = "ab";
  block.pow_hash = "cd";
  block.device = 2;
  block.accepted = false;
  block.reason = "high-hash";
  snapshot.found_blocks.push_back(block);
  snapshot.history.push_back({1'799'999'990, 1500, {1500}});
  return snapshot;
}

TEST(ApiDocuments, SummaryCarriesEveryFigure) {
  const json summary = json::parse(summary_json(sample_snapshot()));
  EXPECT_EQ(summary["version"], std::string(api_program_version));
  EXPECT_EQ(summary["uptime_seconds"], 125.5);
  EXPECT_EQ(summary["node"]["url"], "http://127.0.0.1:8899");
  EXPECT_EQ(summary["node"]["height"], 812);
  EXPECT_EQ(summary["node"]["tip"], "00ff");
  EXPECT_EQ(summary["node"]["template_age_seconds"], 4.25);
  EXPECT_TRUE(summary["node"]["last_failure"].is_null());
  const json& device = summary["devices"].at(0);
  EXPECT_EQ(device["index"], 2);
  EXPECT_EQ(device["name"], "Card \"A\"\\B\nC");
  EXPECT_EQ(device["hash_rate"]["10s"], 1500);
  EXPECT_EQ(device["hash_rate"]["60s"], 1400);
  EXPECT_EQ(device["hash_rate"]["run"], 1300);
  EXPECT_EQ(device["hashes"].get<std::uint64_t>(), 9'007'199'254'740'993ull);
  EXPECT_EQ(summary["totals"]["blocks_found"], 3);
  EXPECT_EQ(summary["totals"]["blocks_accepted"], 2);
  EXPECT_EQ(summary["totals"]["blocks_rejected"], 1);
  const json& block = summary["blocks"].at(0);
  EXPECT_EQ(block["verdict"], "rejected");
  EXPECT_EQ(block["reason"], "high-hash");
  EXPECT_EQ(block["device"], 2);
  EXPECT_EQ(block["height"], 811);
}

TEST(ApiDocuments, NodeWithoutTemplateAndWithAFailureShowsNulls) {
  StatsSnapshot snapshot;
  snapshot.node.last_failure = "no valid block template";
  snapshot.node.last_failure_time = 1'800'000'000;
  const json summary = json::parse(summary_json(snapshot));
  EXPECT_TRUE(summary["node"]["height"].is_null());
  EXPECT_TRUE(summary["node"]["tip"].is_null());
  EXPECT_TRUE(summary["node"]["template_age_seconds"].is_null());
  EXPECT_EQ(summary["node"]["last_failure"]["cause"], "no valid block template");
  EXPECT_TRUE(summary["devices"].empty());
  EXPECT_TRUE(summary["blocks"].empty());
}

TEST(ApiDocuments, TextThatIsNotUtf8IsReplacedNotThrown) {
  StatsSnapshot snapshot = sample_snapshot();
  snapshot.devices[0].name = "bad \xff byte";
  EXPECT_NO_THROW(json::parse(summary_json(snapshot)));
  EXPECT_NO_THROW(json::parse(history_json(snapshot)));
}

TEST(ApiDocuments, HistoryListsDevicesAndSamples) {
  const json history = json::parse(history_json(sample_snapshot()));
  EXPECT_EQ(history["interval_seconds"], 10);
  EXPECT_EQ(history["devices"].at(0)["index"], 2);
  EXPECT_EQ(history["samples"].at(0)["total"], 1500);
  EXPECT_EQ(history["samples"].at(0)["devices"].at(0), 1500);
  EXPECT_EQ(history["samples"].at(0)["time"], 1'799'999'990);
}

TEST(ApiDocuments, MetricsInTheTextFormat) {
  const std::string text = metrics_text(sample_snapshot());
  const char* expected_lines[] = {
      "# TYPE veltrane_build_info gauge\n",
      "# TYPE veltrane_device_hashes_total counter\n",
      "veltrane_device_hashes_total{device=\"2\",name=\"Card \\\"A\\\"\\\\B\\nC\"} 9007199254740992\n",
      "veltrane_device_hash_rate_hashes_per_second{device=\"2\",name=\"Card \\\"A\\\"\\\\B\\nC\",window=\"10s\"} 1500\n",
      "veltrane_blocks_total{result=\"accepted\"} 2\n",
      "veltrane_blocks_total{result=\"rejected\"} 1\n",
      "veltrane_node_reachable 1\n",
      "veltrane_node_height 812\n",
      "veltrane_template_age_seconds 4.250\n",
      "veltrane_uptime_seconds 125.500\n",
  };
  for (const char* line : expected_lines) EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
  // Every line is a comment or a sample; no blank lines, and the text ends with a line feed.
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find("\n\n"), std::string::npos);
}

}  // namespace
