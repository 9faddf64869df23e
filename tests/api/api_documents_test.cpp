// The summary and history JSON and the metrics text made from a known snapshot.

#include "api/api_documents.h"
#include "program_version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

StatsSnapshot sample_snapshot() {
  StatsSnapshot snapshot;
  snapshot.uptime_seconds = 125.5;
  snapshot.unix_time = 1'800'000'000;
  snapshot.start_time = 1'799'999'874.5;
  snapshot.rig.payout_address = "vtr1qpayout";
  DeviceSnapshot device;
  device.index = 2;
  device.name = "Card \"A\"\\B\nC";
  device.bus_id = "0000:03:00.0";
  device.rates = {1500, 1400, 1300};
  device.hashes = 9'007'199'254'740'993ull;  // above 2^53: must not pass through a double
  device.blocks_found = 3;
  device.lost = true;
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
  EXPECT_EQ(summary["version"], std::string(program_version));
  EXPECT_EQ(summary["uptime_seconds"], 125.5);
  EXPECT_EQ(summary["start_time"], 1'799'999'874.5);
  EXPECT_EQ(summary["rig"], json({{"mode", "solo"}, {"payout_address", "vtr1qpayout"}, {"worker", nullptr},
                                  {"pools", json::array()}}));
  EXPECT_EQ(summary["node"]["url"], "http://127.0.0.1:8899");
  EXPECT_EQ(summary["node"]["height"], 812);
  EXPECT_EQ(summary["node"]["tip"], "00ff");
  EXPECT_EQ(summary["node"]["template_age_seconds"], 4.25);
  EXPECT_TRUE(summary["node"]["last_failure"].is_null());
  const json& device = summary["devices"].at(0);
  EXPECT_EQ(device["index"], 2);
  EXPECT_EQ(device["name"], "Card \"A\"\\B\nC");
  EXPECT_EQ(device["bus_id"], "0000:03:00.0");
  EXPECT_EQ(device["hash_rate"]["10s"], 1500);
  EXPECT_EQ(device["hash_rate"]["60s"], 1400);
  EXPECT_EQ(device["hash_rate"]["run"], 1300);
  EXPECT_EQ(device["hashes"].get<std::uint64_t>(), 9'007'199'254'740'993ull);
  EXPECT_EQ(device["lost"], true);
  EXPECT_EQ(device["hung"], false);
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
  StatsSnapshot snapshot = sample_snapshot();
  const std::string text = history_json(snapshot);
  // Whole seconds are written as an integer, as readers of the document have always seen them.
  EXPECT_NE(text.find("\"interval_seconds\":10,"), std::string::npos) << text;
  snapshot.history_interval_seconds = 0.25;
  EXPECT_EQ(json::parse(history_json(snapshot))["interval_seconds"], 0.25);

  const json history = json::parse(text);
  EXPECT_EQ(history["devices"].at(0)["index"], 2);
  EXPECT_EQ(history["devices"].at(0)["bus_id"], "0000:03:00.0");
  EXPECT_TRUE(history["devices"].at(0)["sensors"]["temperature_c"].is_null()) << "no reading in the sample run";
  EXPECT_EQ(history["samples"].at(0)["total"], 1500);
  EXPECT_EQ(history["samples"].at(0)["devices"].at(0), 1500);
  EXPECT_EQ(history["samples"].at(0)["time"], 1'799'999'990);
}

// A device's state says why it mines no more, or pauses; hung wins, since a lost device that
// hung is not coming back by itself either.
TEST(ApiDocuments, DeviceStateNamesWhatStoppedIt) {
  const struct {
    bool lost;
    bool hung;
    bool paused;
    const char* state;
    const char* hung_gauge;
  } cases[] = {{false, false, false, "mining", "} 0\n"},
               {true, false, false, "lost", "} 0\n"},
               {false, true, false, "hung", "} 1\n"},
               {true, true, false, "hung", "} 1\n"},
               {false, false, true, "paused: temperature", "} 0\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    StatsSnapshot snapshot = sample_snapshot();
    snapshot.devices.at(0).lost = c.lost;
    snapshot.devices.at(0).hung = c.hung;
    snapshot.devices.at(0).paused = c.paused;
    const json device = json::parse(summary_json(snapshot))["devices"].at(0);
    EXPECT_EQ(device["state"], c.state);
    EXPECT_EQ(device["hung"], c.hung);
    const std::string text = metrics_text(snapshot);
    const std::size_t gauge = text.find("\nveltrane_device_hung{device=\"2\",");
    ASSERT_NE(gauge, std::string::npos) << text;
    EXPECT_EQ(text.compare(text.find('}', gauge), std::strlen(c.hung_gauge), c.hung_gauge), 0) << text.substr(gauge);
  }
}

// Sensor figures as numbers or null, the efficiency only with power known, and a gauge sample
// only for a figure that is known.
TEST(ApiDocuments, SensorsAndEfficiencyWhereKnown) {
  StatsSnapshot snapshot = sample_snapshot();
  snapshot.devices.at(0).sensors = {65, 40, 200, std::nullopt};
  DeviceSnapshot without_sensors = snapshot.devices.at(0);
  without_sensors.index = 3;
  without_sensors.sensors = {};
  snapshot.devices.push_back(without_sensors);

  const json summary = json::parse(summary_json(snapshot));
  const json& known = summary["devices"].at(0);
  EXPECT_EQ(known["sensors"]["temperature_c"], 65);
  EXPECT_EQ(known["sensors"]["fan_percent"], 40);
  EXPECT_EQ(known["sensors"]["power_watts"], 200);
  EXPECT_TRUE(known["sensors"]["core_clock_mhz"].is_null());
  EXPECT_DOUBLE_EQ(known["hashes_per_joule"].get<double>(), 1500.0 / 200);  // the 10 s rate over the power
  const json& unknown = summary["devices"].at(1);
  for (const char* figure : {"temperature_c", "fan_percent", "power_watts", "core_clock_mhz"}) {
    EXPECT_TRUE(unknown["sensors"][figure].is_null()) << figure;
  }
  EXPECT_TRUE(unknown["hashes_per_joule"].is_null());

  const std::string text = metrics_text(snapshot);
  EXPECT_NE(text.find("\nveltrane_device_temperature_celsius{device=\"2\","), std::string::npos) << text;
  EXPECT_EQ(text.find("\nveltrane_device_temperature_celsius{device=\"3\","), std::string::npos) << text;
  EXPECT_EQ(text.find("\nveltrane_device_core_clock_mhz{"), std::string::npos) << text;
  EXPECT_NE(text.find("# TYPE veltrane_device_power_watts gauge\n"), std::string::npos) << text;
}

TEST(ApiDocuments, MetricsInTheTextFormat) {
  const std::string text = metrics_text(sample_snapshot());
  const char* expected_lines[] = {
      "# TYPE veltrane_build_info gauge\n",
      "# TYPE veltrane_device_hashes_total counter\n",
      "veltrane_device_hashes_total{device=\"2\",name=\"Card \\\"A\\\"\\\\B\\nC\",bus_id=\"0000:03:00.0\"} 9007199254740992\n",
      "veltrane_device_hash_rate_hashes_per_second{device=\"2\",name=\"Card \\\"A\\\"\\\\B\\nC\",bus_id=\"0000:03:00.0\",window=\"10s\"} 1500\n",
      "veltrane_device_lost{device=\"2\",name=\"Card \\\"A\\\"\\\\B\\nC\",bus_id=\"0000:03:00.0\"} 1\n",
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

// Pool mining: the pool takes the node's place, each device has its share counts, and the node's
// metrics give way to the pool's.
StatsSnapshot pool_snapshot() {
  StatsSnapshot snapshot = sample_snapshot();
  snapshot.rig = {"", "tvtr1worker.rig1", {"stratum+tcp://pool.lan:3333", "stratum+tcp://backup.lan:3333"}};
  snapshot.devices[0].shares_accepted = 40;
  snapshot.devices[0].shares_rejected = 2;
  PoolStats pool;
  pool.url = "stratum+tcp://pool.lan:3333";
  pool.worker = "tvtr1worker.rig1";
  pool.connected = true;
  pool.authorized = true;
  pool.difficulty = 0.25;
  pool.job = "5f3a";
  pool.shares_accepted = 40;
  pool.shares_rejected = 2;
  pool.shares_stale = 1;
  pool.block_shares = 1;
  pool.last_rejection = "Duplicate share (22)";
  pool.last_rejection_time = 1'799'999'000;
  // In use on the second configured pool, after the first was left twice.
  pool.pools = {{"stratum+tcp://pool.lan:3333", "tvtr1worker.rig1", false, false, false, 3, 2, 0.041},
                {"stratum+ssl://backup.lan:3334", "account.rig1", true, true, true, 1, 0, std::nullopt}};
  snapshot.pool = pool;
  return snapshot;
}

TEST(ApiDocuments, PoolMiningShowsThePoolAndTheSharesInsteadOfTheNode) {
  const json summary = json::parse(summary_json(pool_snapshot()));
  EXPECT_TRUE(summary["node"].is_null());
  const json& pool = summary["pool"];
  EXPECT_EQ(pool["url"], "stratum+tcp://pool.lan:3333");
  EXPECT_EQ(pool["worker"], "tvtr1worker.rig1");
  EXPECT_EQ(pool["connected"], true);
  EXPECT_EQ(pool["authorized"], true);
  EXPECT_EQ(pool["difficulty"], 0.25);
  EXPECT_EQ(pool["job"], "5f3a");
  EXPECT_EQ(pool["shares"], json({{"accepted", 40}, {"rejected", 2}, {"stale", 1}, {"blocks", 1}}));
  EXPECT_EQ(pool["last_rejection"]["reason"], "Duplicate share (22)");
  EXPECT_TRUE(pool["last_failure"].is_null());
  EXPECT_EQ(pool["failovers"], 2);
  EXPECT_EQ(pool["pools"], json::parse(R"([
      {"url":"stratum+tcp://pool.lan:3333","worker":"tvtr1worker.rig1","tls":false,"pinned":false,"active":false,
       "connections":3,"failovers":2,"round_trip_seconds":0.041},
      {"url":"stratum+ssl://backup.lan:3334","worker":"account.rig1","tls":true,"pinned":true,"active":true,
       "connections":1,"failovers":0,"round_trip_seconds":null}])"));
  EXPECT_EQ(summary["devices"].at(0)["shares"], json({{"accepted", 40}, {"rejected", 2}}));
  EXPECT_EQ(summary["rig"], json({{"mode", "pool"}, {"payout_address", nullptr}, {"worker", "tvtr1worker.rig1"},
                                  {"pools", {"stratum+tcp://pool.lan:3333", "stratum+tcp://backup.lan:3333"}}}));
  // Before the pool source has said anything the configured pools already tell the mode.
  StatsSnapshot starting = pool_snapshot();
  starting.pool.reset();
  EXPECT_EQ(json::parse(summary_json(starting))["rig"]["mode"], "pool");

  // Solo mining: no pool, and the devices carry no share counts.
  const json solo = json::parse(summary_json(sample_snapshot()));
  EXPECT_TRUE(solo["pool"].is_null());
  EXPECT_FALSE(solo["devices"].at(0).contains("shares"));

  const std::string text = metrics_text(pool_snapshot());
  const char* expected_lines[] = {
      // Every configured pool under its own labels; only the active one is connected.
      "veltrane_pool_connected{pool=\"0\",url=\"stratum+tcp://pool.lan:3333\"} 0\n",
      "veltrane_pool_connected{pool=\"1\",url=\"stratum+ssl://backup.lan:3334\"} 1\n",
      "veltrane_pool_connections_total{pool=\"0\",url=\"stratum+tcp://pool.lan:3333\"} 3\n",
      "veltrane_pool_failovers_total{pool=\"0\",url=\"stratum+tcp://pool.lan:3333\"} 2\n",
      "veltrane_pool_failovers_total{pool=\"1\",url=\"stratum+ssl://backup.lan:3334\"} 0\n",
      "veltrane_pool_round_trip_seconds{pool=\"0\",url=\"stratum+tcp://pool.lan:3333\"} 0.041\n",
      "veltrane_pool_difficulty 0.250\n",
      "veltrane_shares_total{result=\"accepted\"} 40\n",
      "veltrane_shares_total{result=\"rejected\"} 2\n",
      "veltrane_shares_stale_total 1\n",
      "veltrane_block_shares_total 1\n",
      "veltrane_device_shares_total{device=\"2\",name=\"Card \\\"A\\\"\\\\B\\nC\",bus_id=\"0000:03:00.0\",result=\"accepted\"} 40\n",
  };
  for (const char* line : expected_lines) EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
  EXPECT_EQ(text.find("veltrane_node_"), std::string::npos) << text;
  EXPECT_EQ(text.find("veltrane_pool_round_trip_seconds{pool=\"1\""), std::string::npos) << "no figure yet: no sample";
  EXPECT_EQ(text.find("veltrane_blocks_total"), std::string::npos) << text;
}

}  // namespace
