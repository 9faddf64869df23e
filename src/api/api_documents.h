#pragma once
// The API's documents, made from a statistics snapshot: the JSON summary and history, and the
// metrics in the Prometheus text format.

#include <string>
#include <string_view>

#include "stats/mining_stats.h"


// GET /api/summary: version, uptime and start time, the rig's settings (mode, payout address or
// worker and pools), the node (or in pool mining the pool and its shares), devices, totals and the
// last found blocks.
std::string summary_json(const StatsSnapshot& snapshot);

// GET /api/history: the total and per-device hash rate of each history interval (10 s unless the
// run chose another) of the last 360.
std::string history_json(const StatsSnapshot& snapshot);

// GET /metrics: Prometheus text exposition format 0.0.4.
std::string metrics_text(const StatsSnapshot& snapshot);
inline constexpr std::string_view metrics_content_type = "text/plain; version=0.0.4; charset=utf-8";

// A label value with backslash, double quote and line feed escaped as the text format wants.
std::string escape_label_value(std::string_view value);
