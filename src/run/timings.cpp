#include "run/timings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <utility>

namespace {

using TimingField = double Timings::*;

// Sized by its entries, so that a new timer is one line here.
constexpr auto timing_fields = std::to_array<std::pair<std::string_view, TimingField>>({
    {"device_lost", &Timings::device_lost},
    {"failure_report_interval", &Timings::failure_report_interval},
    {"failed_batch_pause", &Timings::failed_batch_pause},
    {"failed_queue_pause", &Timings::failed_queue_pause},
    {"hung_launch", &Timings::hung_launch},
    {"device_stop_wait", &Timings::device_stop_wait},
    {"node_retry", &Timings::node_retry},
    {"tip_poll", &Timings::tip_poll},
    {"longpoll_request_timeout", &Timings::longpoll_request_timeout},
    {"pool_status_interval", &Timings::pool_status_interval},
    {"final_answer_wait", &Timings::final_answer_wait},
    {"pool_connect_timeout", &Timings::pool_connect_timeout},
    {"pool_first_reconnect_pause", &Timings::pool_first_reconnect_pause},
    {"pool_longest_reconnect_pause", &Timings::pool_longest_reconnect_pause},
    {"pool_primary_probe", &Timings::pool_primary_probe},
    {"pool_primary_back", &Timings::pool_primary_back},
    {"pool_silence", &Timings::pool_silence},
    {"pool_session_start", &Timings::pool_session_start},
    {"pool_share_answer", &Timings::pool_share_answer},
    {"pool_reconnect_repeat", &Timings::pool_reconnect_repeat},
    {"pool_job_line_interval", &Timings::pool_job_line_interval},
    {"pool_malformed_report_interval", &Timings::pool_malformed_report_interval},
    {"sensor_interval", &Timings::sensor_interval},
    {"stats_history_interval", &Timings::stats_history_interval},
    {"status_log_interval", &Timings::status_log_interval},
    {"api_request", &Timings::api_request},
    {"api_write", &Timings::api_write},
    {"api_keep_alive", &Timings::api_keep_alive},
    {"api_connection", &Timings::api_connection},
    {"benchmark", &Timings::benchmark},
    {"autotune", &Timings::autotune},
});

}  // namespace

bool apply_timing_overrides(Timings& timings, std::string_view overrides, std::string& problem) {
  if (overrides.empty()) return true;
  Timings changed = timings;
  for (std::size_t start = 0; start <= overrides.size();) {
    const std::size_t comma = std::min(overrides.find(',', start), overrides.size());
    const std::string_view item = overrides.substr(start, comma - start);
    start = comma + 1;
    const std::size_t equals = item.find('=');
    const std::string_view name = item.substr(0, equals);
    const auto field = std::find_if(timing_fields.begin(), timing_fields.end(),
                                    [name](const auto& entry) { return entry.first == name; });
    if (field == timing_fields.end()) {
      problem = "unknown timing \"" + std::string(name) + "\"";
      return false;
    }
    const std::string_view value = equals == std::string_view::npos ? std::string_view{} : item.substr(equals + 1);
    double seconds = -1;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (value.empty() || error != std::errc{} || end != value.data() + value.size() || !std::isfinite(seconds) ||
        seconds < 0) {
      problem = "timing " + std::string(name) + " needs a number of seconds >= 0";
      return false;
    }
    changed.*(field->second) = seconds;
  }
  timings = changed;
  return true;
}
