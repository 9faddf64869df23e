#include "stats/mining_stats.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string_view>

#include "stats/url_without_credentials.h"

double unix_time_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since_epoch).count();
}

namespace {

constexpr double nanoseconds_per_second = 1e9;

double seconds_since_start(const MiningStats& stats, std::int64_t time_ns) {
  return std::max(0.0, static_cast<double>(time_ns - stats.start_ns) / nanoseconds_per_second);
}

DeviceCounters* find_device(MiningStats& stats, int index) {
  for (DeviceCounters& device : stats.devices) {
    if (device.index == index) return &device;
  }
  return nullptr;
}

// The device of that index, added without a name when the mining side never announced it.
DeviceCounters& device_of(MiningStats& stats, int index) {
  if (DeviceCounters* device = find_device(stats, index)) return *device;
  DeviceCounters& device = stats.devices.emplace_back();
  device.index = index;
  device.seconds.span_of_entry.fill(-1);
  device.history_intervals.span_of_entry.fill(-1);
  return device;
}

template <std::size_t slots>
void add_to_span(HashRing<slots>& ring, std::int64_t span, std::uint64_t hashes) {
  const auto entry = static_cast<std::size_t>(span) % slots;
  if (ring.span_of_entry[entry] != span) {
    ring.span_of_entry[entry] = span;
    ring.hashes[entry] = 0;
  }
  ring.hashes[entry] += hashes;
}

template <std::size_t slots>
std::uint64_t hashes_in_span(const HashRing<slots>& ring, std::int64_t span) {
  if (span < 0) return 0;
  const auto entry = static_cast<std::size_t>(span) % slots;
  return ring.span_of_entry[entry] == span ? ring.hashes[entry] : 0;
}

// Spreads the hashes done between begin and end (seconds since the start) evenly over the
// ring's spans of span_seconds each. The shares are rounded on the running total so that they
// add up to the batch exactly. Spans older than the ring are skipped: nothing reads them any more.
template <std::size_t slots>
void spread_over_spans(HashRing<slots>& ring, double span_seconds, double begin, double end, std::uint64_t hashes) {
  const auto last_span = static_cast<std::int64_t>(end / span_seconds);
  const double length = end - begin;
  if (length <= 0) {
    add_to_span(ring, last_span, hashes);
    return;
  }
  const std::int64_t first_span = std::max(static_cast<std::int64_t>(begin / span_seconds),
                                           last_span - static_cast<std::int64_t>(slots) + 1);
  auto assigned_before = [&](double time) {
    return static_cast<std::uint64_t>(std::llround(static_cast<double>(hashes) * (time - begin) / length));
  };
  std::uint64_t assigned = assigned_before(std::max(static_cast<double>(first_span) * span_seconds, begin));
  for (std::int64_t span = first_span; span <= last_span; ++span) {
    const std::uint64_t through =
        span == last_span ? hashes : assigned_before(static_cast<double>(span + 1) * span_seconds);
    add_to_span(ring, span, through - assigned);
    assigned = through;
  }
}

// Hashes per second over the last window_seconds before elapsed (seconds since the start);
// over the whole run while it is younger than the window.
double window_rate(const DeviceCounters& device, double elapsed, int window_seconds) {
  if (elapsed <= 0) return 0;
  if (elapsed <= window_seconds) return static_cast<double>(device.hashes) / elapsed;
  const auto current = static_cast<std::int64_t>(elapsed);
  const double current_fraction = elapsed - static_cast<double>(current);
  // The window starts inside the second window_seconds back: only its later part counts.
  double hashes = (1.0 - current_fraction) * static_cast<double>(hashes_in_span(device.seconds, current - window_seconds));
  for (std::int64_t second = current - window_seconds + 1; second <= current; ++second) {
    hashes += static_cast<double>(hashes_in_span(device.seconds, second));
  }
  return hashes / window_seconds;
}

HashRates device_rates(const DeviceCounters& device, double elapsed) {
  HashRates rates;
  rates.last_10s = window_rate(device, elapsed, 10);
  rates.last_60s = window_rate(device, elapsed, stats_longest_rate_window_seconds);
  rates.run = elapsed > 0 ? static_cast<double>(device.hashes) / elapsed : 0;
  return rates;
}

// A configured URL as it may be shown: the query and fragment may carry a token too, so they go
// before the user information.
std::string url_for_display(const std::string& url) {
  return url_without_credentials(std::string_view(url).substr(0, url.find_first_of("?#")));
}

}  // namespace

void stats_start(MiningStats& stats, std::int64_t now_ns, double history_interval_seconds) {
  const std::lock_guard lock(stats.mutex);
  stats.start_ns = now_ns;
  stats.history_interval_seconds =
      history_interval_seconds > 0 ? history_interval_seconds : stats_default_history_interval_seconds;
}

void stats_add_device(MiningStats& stats, int index, const std::string& name, const std::string& bus_id) {
  const std::lock_guard lock(stats.mutex);
  DeviceCounters& device = device_of(stats, index);
  device.name = name;
  device.bus_id = bus_id;
}

void stats_record_batch(MiningStats& stats, int device_index, std::uint64_t hashes, std::int64_t started_ns,
                        std::int64_t finished_ns) {
  const std::lock_guard lock(stats.mutex);
  DeviceCounters& device = device_of(stats, device_index);
  device.hashes += hashes;
  if (hashes == 0) return;

  const double end = seconds_since_start(stats, finished_ns);
  const double begin = std::min(seconds_since_start(stats, started_ns), end);
  spread_over_spans(device.seconds, 1.0, begin, end, hashes);
  spread_over_spans(device.history_intervals, stats.history_interval_seconds, begin, end, hashes);
}

void stats_record_cpu_rejected(MiningStats& stats, int device) {
  const std::lock_guard lock(stats.mutex);
  ++device_of(stats, device).cpu_rejected;
}

void stats_record_device_lost(MiningStats& stats, int device) {
  const std::lock_guard lock(stats.mutex);
  device_of(stats, device).lost = true;
}

void stats_record_sensors(MiningStats& stats, int device, const SensorReading& reading) {
  const std::lock_guard lock(stats.mutex);
  device_of(stats, device).sensors = reading;
}

void stats_record_temperature_pause(MiningStats& stats, int device, bool paused, std::int64_t now_ns) {
  const std::lock_guard lock(stats.mutex);
  DeviceCounters& counters = device_of(stats, device);
  if (paused && !counters.paused_since_ns) counters.paused_since_ns = now_ns;
  if (!paused && counters.paused_since_ns) {
    counters.paused_seconds += static_cast<double>(now_ns - *counters.paused_since_ns) / 1e9;
    counters.paused_since_ns.reset();
  }
}

void stats_record_device_hung(MiningStats& stats, int device) {
  const std::lock_guard lock(stats.mutex);
  device_of(stats, device).hung = true;
}

void stats_record_block(MiningStats& stats, const FoundBlockRecord& block) {
  const std::lock_guard lock(stats.mutex);
  ++device_of(stats, block.device).blocks_found;
  ++(block.accepted ? stats.blocks_accepted : stats.blocks_rejected);
  stats.found_blocks.push_back(block);
  if (stats.found_blocks.size() > stats_found_blocks_kept) stats.found_blocks.pop_front();
}

void stats_set_node_url(MiningStats& stats, const std::string& url) {
  const std::lock_guard lock(stats.mutex);
  stats.node.url = url_for_display(url);
}

void stats_set_rig(MiningStats& stats, const RigSettings& rig) {
  const std::lock_guard lock(stats.mutex);
  stats.rig = rig;
  for (std::string& pool : stats.rig.pools) pool = url_for_display(pool);
}

void stats_record_template(MiningStats& stats, std::uint64_t height, const std::string& tip, std::int64_t now_ns) {
  const std::lock_guard lock(stats.mutex);
  stats.node.reachable = true;
  stats.node.has_template = true;
  stats.node.height = height;
  stats.node.tip = tip;
  stats.node.template_time_ns = now_ns;
}

void stats_record_node_reachable(MiningStats& stats) {
  const std::lock_guard lock(stats.mutex);
  stats.node.reachable = true;
}

void stats_record_node_failure(MiningStats& stats, const std::string& cause, bool reachable, double unix_time) {
  const std::lock_guard lock(stats.mutex);
  stats.node.reachable = reachable;
  stats.node.last_failure = cause;
  stats.node.last_failure_time = unix_time;
}

void stats_set_pool(MiningStats& stats, const PoolStats& pool, const std::vector<ShareResult>& new_results) {
  const std::lock_guard lock(stats.mutex);
  stats.pool = pool;
  for (ConfiguredPoolStats& configured : stats.pool->pools) configured.url = url_for_display(configured.url);
  for (const ShareResult& result : new_results) {
    DeviceCounters& counters = device_of(stats, result.device);
    ++(result.accepted ? counters.shares_accepted : counters.shares_rejected);
  }
}

StatsSnapshot stats_snapshot(MiningStats& stats, std::int64_t now_ns, double unix_time) {
  const std::lock_guard lock(stats.mutex);
  StatsSnapshot snapshot;
  const double elapsed = seconds_since_start(stats, now_ns);
  snapshot.uptime_seconds = elapsed;
  snapshot.unix_time = unix_time;
  snapshot.start_time = unix_time - elapsed;
  snapshot.rig = stats.rig;
  for (const DeviceCounters& device : stats.devices) {
    DeviceSnapshot& entry = snapshot.devices.emplace_back();
    entry.index = device.index;
    entry.name = device.name;
    entry.bus_id = device.bus_id;
    entry.rates = device_rates(device, elapsed);
    entry.hashes = device.hashes;
    entry.blocks_found = device.blocks_found;
    entry.cpu_rejected = device.cpu_rejected;
    entry.shares_accepted = device.shares_accepted;
    entry.shares_rejected = device.shares_rejected;
    entry.lost = device.lost;
    entry.hung = device.hung;
    entry.sensors = device.sensors;
    entry.paused = device.paused_since_ns.has_value();
    const double pause_under_way =
        device.paused_since_ns ? static_cast<double>(now_ns - *device.paused_since_ns) / 1e9 : 0;
    entry.paused_seconds = device.paused_seconds + pause_under_way;
    snapshot.total_rates.last_10s += entry.rates.last_10s;
    snapshot.total_rates.last_60s += entry.rates.last_60s;
    snapshot.total_hashes += device.hashes;
    snapshot.blocks_found += device.blocks_found;
  }
  // The same arithmetic as the console's progress line: all hashes over the whole run.
  snapshot.total_rates.run = elapsed > 0 ? static_cast<double>(snapshot.total_hashes) / elapsed : 0;
  snapshot.blocks_accepted = stats.blocks_accepted;
  snapshot.blocks_rejected = stats.blocks_rejected;
  snapshot.node = stats.node;
  snapshot.pool = stats.pool;
  if (stats.node.has_template) {
    snapshot.template_age_seconds =
        std::max(0.0, static_cast<double>(now_ns - stats.node.template_time_ns) / nanoseconds_per_second);
  }
  snapshot.found_blocks.assign(stats.found_blocks.rbegin(), stats.found_blocks.rend());

  const double interval_seconds = stats.history_interval_seconds;
  snapshot.history_interval_seconds = interval_seconds;
  const auto completed = static_cast<std::int64_t>(elapsed / interval_seconds);
  for (std::int64_t interval = std::max<std::int64_t>(0, completed - static_cast<std::int64_t>(stats_history_samples));
       interval < completed; ++interval) {
    HistorySample& sample = snapshot.history.emplace_back();
    const double end = static_cast<double>(interval + 1) * interval_seconds;
    sample.time = unix_time - (elapsed - end);
    for (const DeviceCounters& device : stats.devices) {
      const double rate = static_cast<double>(hashes_in_span(device.history_intervals, interval)) / interval_seconds;
      sample.devices.push_back(rate);
      sample.total += rate;
    }
  }
  return snapshot;
}
