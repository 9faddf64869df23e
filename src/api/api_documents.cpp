#include "api/api_documents.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "program_version.h"

namespace {

using nlohmann::json;

json rates_json(const HashRates& rates) {
  return {{"10s", rates.last_10s}, {"60s", rates.last_60s}, {"run", rates.run}};
}

json text_or_null(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }
json figure_or_null(const std::optional<double>& figure) { return figure ? json(*figure) : json(nullptr); }

// Whole seconds as an integer (10, not 10.0), as the document has always shown them.
json seconds_json(double seconds) {
  if (seconds == std::floor(seconds) && std::abs(seconds) < 1e15) return json(static_cast<std::int64_t>(seconds));
  return json(seconds);
}

json node_json(const StatsSnapshot& snapshot) {
  const NodeStats& node = snapshot.node;
  json result = {
      {"url", node.url},
      {"reachable", node.reachable},
      {"height", node.has_template ? json(node.height) : json(nullptr)},
      {"tip", text_or_null(node.tip)},
      {"template_age_seconds", figure_or_null(snapshot.template_age_seconds)},
      {"last_failure", nullptr},
  };
  if (!node.last_failure.empty()) {
    result["last_failure"] = {{"cause", node.last_failure}, {"time", node.last_failure_time}};
  }
  return result;
}

json configured_pool_json(const ConfiguredPoolStats& pool) {
  return {{"url", pool.url},
          {"worker", pool.worker},
          {"tls", pool.tls},
          {"pinned", pool.pinned},
          {"active", pool.active},
          {"connections", pool.connections},
          {"failovers", pool.failovers},
          {"round_trip_seconds", figure_or_null(pool.round_trip_seconds)}};
}

json pool_json(const PoolStats& pool) {
  json pools = json::array();
  std::uint64_t failovers = 0;
  for (const ConfiguredPoolStats& configured : pool.pools) {
    pools.push_back(configured_pool_json(configured));
    failovers += configured.failovers;
  }
  json result = {
      {"url", pool.url},
      {"worker", pool.worker},
      {"connected", pool.connected},
      {"authorized", pool.authorized},
      {"difficulty", pool.difficulty},
      {"job", pool.job.empty() ? json(nullptr) : json(pool.job)},
      {"shares",
       {{"accepted", pool.shares_accepted},
        {"rejected", pool.shares_rejected},
        {"stale", pool.shares_stale},
        {"blocks", pool.block_shares}}},
      {"last_rejection", nullptr},
      {"last_failure", nullptr},
      {"failovers", failovers},
      {"pools", pools},
  };
  if (!pool.last_rejection.empty()) {
    result["last_rejection"] = {{"reason", pool.last_rejection}, {"time", pool.last_rejection_time}};
  }
  if (!pool.last_failure.empty()) {
    result["last_failure"] = {{"cause", pool.last_failure}, {"time", pool.last_failure_time}};
  }
  return result;
}

// Why the device mines no more, or pauses; hung wins over lost, as it says more.
const char* device_state(const DeviceSnapshot& device) {
  if (device.hung) return "hung";
  if (device.lost) return "lost";
  return device.paused ? "paused: temperature" : "mining";
}

// The device's latest sensor reading, each figure null where it is not known.
json sensors_json(const SensorReading& sensors) {
  return {{"temperature_c", figure_or_null(sensors.temperature_c)},
          {"fan_percent", figure_or_null(sensors.fan_percent)},
          {"power_watts", figure_or_null(sensors.power_watts)},
          {"core_clock_mhz", figure_or_null(sensors.core_clock_mhz)}};
}

// Hashes per joule over the last 10 s, when the device's power is known and above zero.
std::optional<double> hashes_per_joule(const DeviceSnapshot& device) {
  if (!device.sensors.power_watts || *device.sensors.power_watts <= 0) return std::nullopt;
  return device.rates.last_10s / *device.sensors.power_watts;
}

json device_json(const DeviceSnapshot& device, bool pool_mining) {
  json result = {{"index", device.index},         {"name", device.name}, {"bus_id", device.bus_id},
                 {"hash_rate", rates_json(device.rates)}, {"hashes", device.hashes},
                 {"blocks_found", device.blocks_found},   {"cpu_rejected", device.cpu_rejected},
                 {"lost", device.lost},                   {"hung", device.hung},
                 {"state", device_state(device)},
                 {"paused_seconds", device.paused_seconds},
                 {"sensors", sensors_json(device.sensors)},
                 {"hashes_per_joule", figure_or_null(hashes_per_joule(device))}};
  if (pool_mining) result["shares"] = {{"accepted", device.shares_accepted}, {"rejected", device.shares_rejected}};
  return result;
}

// The settings the rig runs with; the mode is known from the start, before a pool has answered.
json rig_json(const StatsSnapshot& snapshot) {
  const RigSettings& rig = snapshot.rig;
  const bool pool_mining = snapshot.pool.has_value() || !rig.pools.empty();
  return {{"mode", pool_mining ? "pool" : "solo"},
          {"payout_address", text_or_null(rig.payout_address)},
          {"worker", text_or_null(rig.worker)},
          {"pools", rig.pools}};
}

json block_json(const FoundBlockRecord& block) {
  return {{"time", block.time},
          {"height", block.height},
          {"hash", block.hash},
          {"pow_hash", block.pow_hash},
          {"device", block.device},
          {"verdict", block.accepted ? "accepted" : "rejected"},
          {"reason", text_or_null(block.reason)}};
}

// Numbers in the text format: counts as whole numbers, rates and seconds to the thousandth.
std::string metric_number(double value) {
  if (!std::isfinite(value)) return value > 0 ? "+Inf" : (value < 0 ? "-Inf" : "NaN");
  char text[64];
  std::snprintf(text, sizeof text, value == std::floor(value) ? "%.0f" : "%.3f", value);
  return text;
}

struct MetricsWriter {
  std::string text;

  void family(std::string_view name, std::string_view type, std::string_view help) {
    text.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  void sample(std::string_view name, std::string_view labels, double value) {
    text.append(name);
    if (!labels.empty()) text.append("{").append(labels).append("}");
    text.append(" ").append(metric_number(value)).append("\n");
  }
};

std::string device_labels(const DeviceSnapshot& device) {
  return "device=\"" + std::to_string(device.index) + "\",name=\"" + escape_label_value(device.name) + "\",bus_id=\"" +
         escape_label_value(device.bus_id) + "\"";
}

void node_metrics(MetricsWriter& out, const StatsSnapshot& snapshot) {
  out.family("veltrane_blocks_total", "counter", "Found blocks by the node's verdict.");
  out.sample("veltrane_blocks_total", "result=\"accepted\"", static_cast<double>(snapshot.blocks_accepted));
  out.sample("veltrane_blocks_total", "result=\"rejected\"", static_cast<double>(snapshot.blocks_rejected));

  out.family("veltrane_node_reachable", "gauge", "1 when the node answered the last request, else 0.");
  out.sample("veltrane_node_reachable", "", snapshot.node.reachable ? 1 : 0);
  if (snapshot.node.has_template) {
    out.family("veltrane_node_height", "gauge", "Height of the block being mined.");
    out.sample("veltrane_node_height", "", static_cast<double>(snapshot.node.height));
  }
  if (snapshot.template_age_seconds) {
    out.family("veltrane_template_age_seconds", "gauge", "Seconds since the current block template arrived.");
    out.sample("veltrane_template_age_seconds", "", *snapshot.template_age_seconds);
  }
}

void pool_metrics(MetricsWriter& out, const StatsSnapshot& snapshot) {
  const PoolStats& pool = *snapshot.pool;
  // Each configured pool keeps its labels for the whole run: its place in the failover order and
  // its URL as configured, also while the miner uses another port of it or another pool.
  const auto pool_labels = [&pool](std::size_t index) {
    return "pool=\"" + std::to_string(index) + "\",url=\"" + escape_label_value(pool.pools[index].url) + "\"";
  };
  out.family("veltrane_pool_connected", "gauge", "1 while the pool is connected and has sent a job, else 0.");
  for (std::size_t index = 0; index < pool.pools.size(); ++index) {
    out.sample("veltrane_pool_connected", pool_labels(index), pool.connected && pool.pools[index].active ? 1 : 0);
  }
  out.family("veltrane_pool_connections_total", "counter", "Connections to the pool whose session became ready.");
  for (std::size_t index = 0; index < pool.pools.size(); ++index) {
    out.sample("veltrane_pool_connections_total", pool_labels(index), static_cast<double>(pool.pools[index].connections));
  }
  out.family("veltrane_pool_failovers_total", "counter",
             "Times the miner left the pool for the next one after failed connection attempts.");
  for (std::size_t index = 0; index < pool.pools.size(); ++index) {
    out.sample("veltrane_pool_failovers_total", pool_labels(index), static_cast<double>(pool.pools[index].failovers));
  }
  out.family("veltrane_pool_round_trip_seconds", "gauge",
             "Seconds between a request to the pool and its answer, the latest one.");
  for (std::size_t index = 0; index < pool.pools.size(); ++index) {
    if (const auto& round_trip = pool.pools[index].round_trip_seconds) {
      out.sample("veltrane_pool_round_trip_seconds", pool_labels(index), *round_trip);
    }
  }
  out.family("veltrane_pool_difficulty", "gauge", "Share difficulty the pool set.");
  out.sample("veltrane_pool_difficulty", "", pool.difficulty);
  out.family("veltrane_shares_total", "counter", "Shares by the pool's verdict.");
  out.sample("veltrane_shares_total", "result=\"accepted\"", static_cast<double>(pool.shares_accepted));
  out.sample("veltrane_shares_total", "result=\"rejected\"", static_cast<double>(pool.shares_rejected));
  out.family("veltrane_shares_stale_total", "counter",
             "Shares refused as stale or dropped because their job ended before they could be sent.");
  out.sample("veltrane_shares_stale_total", "", static_cast<double>(pool.shares_stale));
  out.family("veltrane_block_shares_total", "counter", "Accepted shares that were blocks.");
  out.sample("veltrane_block_shares_total", "", static_cast<double>(pool.block_shares));
  out.family("veltrane_device_shares_total", "counter", "Shares of the device by the pool's verdict.");
  for (const DeviceSnapshot& device : snapshot.devices) {
    const std::string labels = device_labels(device);
    out.sample("veltrane_device_shares_total", labels + ",result=\"accepted\"", static_cast<double>(device.shares_accepted));
    out.sample("veltrane_device_shares_total", labels + ",result=\"rejected\"", static_cast<double>(device.shares_rejected));
  }
}

}  // namespace

std::string escape_label_value(std::string_view value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string summary_json(const StatsSnapshot& snapshot) {
  json devices = json::array();
  for (const DeviceSnapshot& device : snapshot.devices) devices.push_back(device_json(device, snapshot.pool.has_value()));
  json blocks = json::array();
  for (const FoundBlockRecord& block : snapshot.found_blocks) blocks.push_back(block_json(block));
  const json summary = {
      {"version", program_version},
      {"time", snapshot.unix_time},
      {"uptime_seconds", snapshot.uptime_seconds},
      {"start_time", snapshot.start_time},
      {"rig", rig_json(snapshot)},
      // Pool mining talks to a pool, not to a node: one of the two is null.
      {"node", snapshot.pool ? json(nullptr) : node_json(snapshot)},
      {"pool", snapshot.pool ? pool_json(*snapshot.pool) : json(nullptr)},
      {"devices", devices},
      {"totals",
       {{"hash_rate", rates_json(snapshot.total_rates)},
        {"hashes", snapshot.total_hashes},
        {"blocks_found", snapshot.blocks_found},
        {"blocks_accepted", snapshot.blocks_accepted},
        {"blocks_rejected", snapshot.blocks_rejected}}},
      {"blocks", blocks},
  };
  // Replacement instead of an exception for text that is not UTF-8 (a device name, say).
  return summary.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string history_json(const StatsSnapshot& snapshot) {
  json devices = json::array();
  for (const DeviceSnapshot& device : snapshot.devices) {
    devices.push_back({{"index", device.index},
                       {"name", device.name},
                       {"bus_id", device.bus_id},
                       {"sensors", sensors_json(device.sensors)}});
  }
  json samples = json::array();
  for (const HistorySample& sample : snapshot.history) {
    samples.push_back({{"time", sample.time}, {"total", sample.total}, {"devices", sample.devices}});
  }
  const json history = {{"interval_seconds", seconds_json(snapshot.history_interval_seconds)},
                        {"time", snapshot.unix_time},
                        {"devices", devices},
                        {"samples", samples}};
  return history.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string metrics_text(const StatsSnapshot& snapshot) {
  MetricsWriter out;
  out.family("veltrane_build_info", "gauge", "Version of the miner; the value is always 1.");
  out.sample("veltrane_build_info", "version=\"" + escape_label_value(program_version) + "\"", 1);
  out.family("veltrane_uptime_seconds", "gauge", "Seconds since mining started.");
  out.sample("veltrane_uptime_seconds", "", snapshot.uptime_seconds);

  // One counter per device, labelled with its index and name.
  auto device_counter = [&](std::string_view name, std::string_view help, std::uint64_t DeviceSnapshot::*count) {
    out.family(name, "counter", help);
    for (const DeviceSnapshot& device : snapshot.devices) {
      out.sample(name, device_labels(device), static_cast<double>(device.*count));
    }
  };
  device_counter("veltrane_device_hashes_total", "Nonces hashed by the device.", &DeviceSnapshot::hashes);
  out.family("veltrane_device_hash_rate_hashes_per_second", "gauge",
             "Hash rate of the device over the last 10 s, the last 60 s and the whole run.");
  for (const DeviceSnapshot& device : snapshot.devices) {
    const std::string labels = device_labels(device);
    out.sample("veltrane_device_hash_rate_hashes_per_second", labels + ",window=\"10s\"", device.rates.last_10s);
    out.sample("veltrane_device_hash_rate_hashes_per_second", labels + ",window=\"60s\"", device.rates.last_60s);
    out.sample("veltrane_device_hash_rate_hashes_per_second", labels + ",window=\"run\"", device.rates.run);
  }
  device_counter("veltrane_device_blocks_found_total", "Blocks found by the device (CPU check passed).",
                 &DeviceSnapshot::blocks_found);
  device_counter("veltrane_device_cpu_rejected_total", "Nonces the device reported whose hash failed the CPU check.",
                 &DeviceSnapshot::cpu_rejected);
  out.family("veltrane_device_lost", "gauge", "1 once the device has been given up (every launch failed for 30 s), else 0.");
  for (const DeviceSnapshot& device : snapshot.devices) out.sample("veltrane_device_lost", device_labels(device), device.lost ? 1 : 0);
  // A sensor's gauge has a sample for each device whose figure is known, none for the others.
  const auto sensor_gauge = [&](std::string_view name, std::string_view help,
                                std::optional<double> SensorReading::*figure) {
    out.family(name, "gauge", help);
    for (const DeviceSnapshot& device : snapshot.devices) {
      if (device.sensors.*figure) out.sample(name, device_labels(device), *(device.sensors.*figure));
    }
  };
  sensor_gauge("veltrane_device_temperature_celsius", "Temperature of the device.", &SensorReading::temperature_c);
  sensor_gauge("veltrane_device_fan_percent", "Fan speed of the device, in percent of its maximum.",
               &SensorReading::fan_percent);
  sensor_gauge("veltrane_device_power_watts", "Power drawn by the device.", &SensorReading::power_watts);
  sensor_gauge("veltrane_device_core_clock_mhz", "Core clock of the device.", &SensorReading::core_clock_mhz);
  out.family("veltrane_device_hung", "gauge",
             "1 once a launch of the device has not completed within the watchdog's limit, else 0.");
  for (const DeviceSnapshot& device : snapshot.devices) {
    out.sample("veltrane_device_hung", device_labels(device), device.hung ? 1 : 0);
  }

  if (snapshot.pool) {
    pool_metrics(out, snapshot);
  } else {
    node_metrics(out, snapshot);
  }
  return out.text;
}
