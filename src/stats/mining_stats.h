#pragma once
// What the rig has done, for the monitoring API: hashes per device, found blocks, the node's
// state, or in pool mining the pool's state and the shares. The mining side records into it; readers take a snapshot. Every function locks the
// recorder's mutex, so any thread may call any of them. Times are passed in (monotonic
// nanoseconds for intervals, Unix seconds for what a person reads), which keeps the arithmetic
// testable with a made-up clock.

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sensors/sensor_reading.h"

inline constexpr double stats_default_history_interval_seconds = 10;
inline constexpr std::size_t stats_history_samples = 360;  // one hour of the default intervals
inline constexpr std::size_t stats_found_blocks_kept = 50;
// The rates cover the last 10 s and the last 60 s; the longer window reaches into one more second.
inline constexpr int stats_longest_rate_window_seconds = 60;
inline constexpr std::size_t stats_seconds_kept = stats_longest_rate_window_seconds + 1;

// Hashes of a device in consecutive spans of equal length since the start of the run, as a
// ring: entry k % slots holds span k when span_of_entry says so, else nothing.
template <std::size_t slots>
struct HashRing {
  std::array<std::uint64_t, slots> hashes{};
  std::array<std::int64_t, slots> span_of_entry{};  // -1: empty
};

struct FoundBlockRecord {
  double time = 0;  // Unix seconds
  std::uint64_t height = 0;
  std::string hash;      // the block's id as the node shows it (double SHA-256, reversed)
  std::string pow_hash;  // the proof-of-work hash as the console prints it
  int device = 0;
  bool accepted = false;
  std::string reason;  // the node's reason for a rejection; empty when it gave none
};

struct DeviceCounters {
  int index = 0;
  std::string name;
  std::string bus_id;  // the PCI address, or "unknown"
  std::uint64_t hashes = 0;
  std::uint64_t blocks_found = 0;
  std::uint64_t cpu_rejected = 0;  // reported nonces whose hash failed the CPU check
  std::uint64_t shares_accepted = 0;  // pool mining: the pool's verdicts on the device's shares
  std::uint64_t shares_rejected = 0;
  bool lost = false;  // given up: every launch failed for device_lost_seconds
  bool hung = false;  // a launch never completed: the device mines no more
  SensorReading sensors;  // the latest reading
  std::optional<std::int64_t> paused_since_ns;  // paused for its temperature since then
  double paused_seconds = 0;                     // in pauses that have ended
  HashRing<stats_seconds_kept> seconds;                  // one-second spans, for the rates
  HashRing<stats_history_samples + 1> history_intervals;  // the samples and the interval under way
};

struct NodeStats {
  std::string url;  // without user, password or query
  bool reachable = false;
  bool has_template = false;
  std::uint64_t height = 0;
  std::string tip;                  // previous block hash of the current template
  std::int64_t template_time_ns = 0;  // monotonic time the current template arrived
  std::string last_failure;         // empty: none yet
  double last_failure_time = 0;     // Unix seconds
};

// One of the configured pools, in failover order.
struct ConfiguredPoolStats {
  std::string url;  // as configured, without credentials: the pool's label, whatever port is in use
  std::string worker;
  bool tls = false;
  bool pinned = false;  // a certificate fingerprint is checked instead of the chain
  bool active = false;  // the pool in use, or being tried
  std::uint64_t connections = 0;  // connections whose session became ready
  std::uint64_t failovers = 0;    // times the miner left it for the next pool after failed attempts
  std::optional<double> round_trip_seconds;  // of the latest request it answered
};

// Pool mining: the pool in use and the share counts as the Stratum session keeps them.
struct PoolStats {
  std::string url;          // the pool in use, or being tried
  std::string worker;
  bool connected = false;   // subscribed, with a job from the pool
  bool authorized = false;  // the pool accepted the worker
  double difficulty = 0;    // the share difficulty in force
  std::string job;          // the id of the pool's latest job (printable); empty before the first
  std::uint64_t shares_accepted = 0;
  std::uint64_t shares_rejected = 0;  // stale ones included
  std::uint64_t shares_stale = 0;     // refused as stale, or dropped because their job ended unsent
  std::uint64_t block_shares = 0;     // accepted shares that were blocks
  std::string last_rejection;         // empty: none yet
  double last_rejection_time = 0;     // Unix seconds
  std::string last_failure;           // the latest connection problem; empty: none yet
  double last_failure_time = 0;       // Unix seconds
  std::vector<ConfiguredPoolStats> pools;  // every configured pool, in failover order
};

// What the rig was started with, as the page shows it. Set once, before the API starts.
struct RigSettings {
  std::string payout_address;      // solo mining; empty in pool mining, where the pool pays
  std::string worker;              // pool mining: the name the pools get
  std::vector<std::string> pools;  // pool mining: the pools in failover order, without credentials
};

struct MiningStats {
  std::mutex mutex;
  std::int64_t start_ns = 0;
  double history_interval_seconds = stats_default_history_interval_seconds;
  std::vector<DeviceCounters> devices;
  NodeStats node;
  std::optional<PoolStats> pool;  // set in pool mining, where there is no node
  RigSettings rig;
  std::uint64_t blocks_accepted = 0;
  std::uint64_t blocks_rejected = 0;
  std::deque<FoundBlockRecord> found_blocks;  // newest last, at most stats_found_blocks_kept
};

// Rates in hashes per second over the last 10 s, the last 60 s and the whole run.
struct HashRates {
  double last_10s = 0;
  double last_60s = 0;
  double run = 0;
};

struct DeviceSnapshot {
  int index = 0;
  std::string name;
  std::string bus_id;
  HashRates rates;
  std::uint64_t hashes = 0;
  std::uint64_t blocks_found = 0;
  std::uint64_t cpu_rejected = 0;
  std::uint64_t shares_accepted = 0;
  std::uint64_t shares_rejected = 0;
  bool lost = false;
  bool hung = false;
  SensorReading sensors;
  bool paused = false;        // for its temperature
  double paused_seconds = 0;  // in all, the pause under way included
};

struct HistorySample {
  double time = 0;  // Unix seconds at the end of the interval
  double total = 0;
  std::vector<double> devices;  // in the order of StatsSnapshot::devices
};

struct StatsSnapshot {
  double uptime_seconds = 0;
  double unix_time = 0;
  double start_time = 0;  // Unix seconds when the run started: unix_time less the uptime
  RigSettings rig;
  std::vector<DeviceSnapshot> devices;
  HashRates total_rates;
  std::uint64_t total_hashes = 0;
  std::uint64_t blocks_found = 0;
  std::uint64_t blocks_accepted = 0;
  std::uint64_t blocks_rejected = 0;
  NodeStats node;
  std::optional<PoolStats> pool;               // pool mining only
  std::optional<double> template_age_seconds;  // none before the first template
  std::vector<FoundBlockRecord> found_blocks;  // newest first
  double history_interval_seconds = stats_default_history_interval_seconds;
  std::vector<HistorySample> history;  // oldest first, completed intervals only
};

// Unix time now, in seconds, for what the statistics show a person.
double unix_time_now();

// The run starts now: rates, uptime and the history's intervals count from here. The history
// keeps the average rate of each interval of this length (an interval not above zero keeps the
// default).
void stats_start(MiningStats& stats, std::int64_t now_ns,
                 double history_interval_seconds = stats_default_history_interval_seconds);
// Adds a device (its OpenCL index, name and PCI address) unless one with that index is there.
void stats_add_device(MiningStats& stats, int index, const std::string& name, const std::string& bus_id = "unknown");
// A batch of the device covered this many nonces between the two times; its hashes are spread
// evenly over that span.
void stats_record_batch(MiningStats& stats, int device, std::uint64_t hashes, std::int64_t started_ns,
                        std::int64_t finished_ns);
// A reported nonce whose hash did not meet the target on the CPU.
void stats_record_cpu_rejected(MiningStats& stats, int device);
// The device was given up and mines no more.
void stats_record_device_lost(MiningStats& stats, int device);
// A launch of the device never completed: it mines no more.
void stats_record_device_hung(MiningStats& stats, int device);
// The device's latest sensor reading, replacing the one before.
void stats_record_sensors(MiningStats& stats, int device, const SensorReading& reading);
// The device paused for its temperature, or resumed, at now_ns.
void stats_record_temperature_pause(MiningStats& stats, int device, bool paused, std::int64_t now_ns);
// A found block and the node's verdict.
void stats_record_block(MiningStats& stats, const FoundBlockRecord& block);

// The node's URL as configured; user, password and query are dropped before it is stored.
void stats_set_node_url(MiningStats& stats, const std::string& url);
// The rig's settings; the pools' URLs lose user, password and query as the node's does.
void stats_set_rig(MiningStats& stats, const RigSettings& rig);
// A template arrived: the node is reachable and these are its height and tip.
void stats_record_template(MiningStats& stats, std::uint64_t height, const std::string& tip, std::int64_t now_ns);
// The node answered a request (tip poll, submission).
void stats_record_node_reachable(MiningStats& stats);
// A request to the node failed: reachable says whether it answered at all.
void stats_record_node_failure(MiningStats& stats, const std::string& cause, bool reachable, double unix_time);

// The pool's verdict on a share of the device.
struct ShareResult {
  int device = 0;
  bool accepted = false;
};

// Pool mining: the pool's state and share counts as they are now (replacing what was there), and
// the verdicts that came since the last call, counted per device. One update, so that a reader
// never sees the devices' counts ahead of the pool's.
void stats_set_pool(MiningStats& stats, const PoolStats& pool, const std::vector<ShareResult>& new_results);

StatsSnapshot stats_snapshot(MiningStats& stats, std::int64_t now_ns, double unix_time);
