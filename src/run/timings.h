#pragma once
// Every timer of the program in one place, with the values a rig runs with. Tests shorten them:
// unit tests set the fields, and the executable takes overrides from the test-only environment
// variable VELTRANE_TEST_TIMINGS ("device_lost=2,node_retry=0.2"), which the usage text does not
// name because it is not for users.

#include <string>
#include <string_view>

struct Timings {
  // Devices.
  double device_lost = 30;               // every launch failed this long: the device is given up
  double failure_report_interval = 10;   // repeats of a named launch error are counted this often
  double failed_batch_pause = 0.1;       // after a failed launch, before the next
  double failed_queue_pause = 1;         // nothing could be queued: the same launch again after this
  // A launch not back after the larger of this and 20 times the device's median launch: hung.
  double hung_launch = 10;
  double device_stop_wait = 1;           // after a stop, for the devices' running launches; a later one is left behind
  // Solo mining.
  double node_retry = 5;                 // the node gave no usable template: ask again after this
  double tip_poll = 5;                   // the best block is asked this often while no longpoll works
  double longpoll_request_timeout = 600; // the node holds a longpoll until something changes
  // Pool mining.
  double pool_status_interval = 5;       // the progress line
  double final_answer_wait = 2;          // after a stop, answers to shares already sent
  double pool_connect_timeout = 15;
  double pool_first_reconnect_pause = 1; // doubling after each failed attempt
  double pool_longest_reconnect_pause = 60;
  double pool_primary_probe = 10;        // the first pool is tried this often while on a failover
  double pool_primary_back = 60;         // the first pool answers this long: mining returns to it
  double pool_silence = 180;             // nothing received this long: the pool is gone
  double pool_session_start = 30;        // the subscribe and authorize answers, each, and the first job
  double pool_share_answer = 60;         // the answer to a share; a pool late with any of these fails the attempt
  double pool_reconnect_repeat = 60;     // a client.reconnect this soon after the last one gets a longer pause
  double pool_job_line_interval = 60;    // a "Mining job" line for a job that is not clean, at most this often
  double pool_malformed_report_interval = 10;  // repeats of a pool's malformed messages are counted this often
  // Monitoring.
  double sensor_interval = 5;            // each device's temperature, fan, power and clock are read this often
  double stats_history_interval = 10;
  double status_log_interval = 60;       // with a log file, a status line with each device's rates goes in this often
  double api_request = 2;                // to read an API request whole
  double api_write = 5;                  // each wait for room to write an API answer
  double api_keep_alive = 5;             // an idle API connection, while no other client waits
  double api_connection = 10;            // an API connection in all
  // Benchmark.
  double benchmark = 30;
  double autotune = 4;  // --autotune: the timing of each device's candidate work sizes, in all
};

// The environment variable tests use to shorten timers.
inline constexpr const char* test_timings_variable = "VELTRANE_TEST_TIMINGS";

// Applies "name=seconds" overrides, separated by commas, to timings. An empty text changes
// nothing. On an unknown name or a value that is not a number >= 0, returns false with the
// reason in problem and leaves timings as they were.
bool apply_timing_overrides(Timings& timings, std::string_view overrides, std::string& problem);
