#pragma once
// Reading a running miner's monitoring API the way a user's tools do: HTTP requests, the metrics
// through Prometheus' own parser, and the page in headless Chromium.

#include <nlohmann/json.hpp>
#include <string>

namespace e2e {

// The port from "API listening on http://127.0.0.1:PORT/"; 0 when the line is not there.
int api_port(const std::string& output);

// The body of GET path; a failed request or a status other than 200 fails the test.
std::string api_get(int port, const std::string& path);

// Metrics parsed by prometheus_client's text parser (tests/api/parse_metrics.py): one JSON
// object per sample with its name, labels and value.
nlohmann::json parse_metrics(const std::string& text);

// The value of the first sample of that name whose labels include these; fails the test when
// there is none.
double metric_value(const nlohmann::json& samples, const std::string& name, const nlohmann::json& labels = {});

struct BrowserPage {
  int exit_code = -1;
  std::string dom;  // the page's DOM after its scripts ran
  std::string log;  // the browser's error output, with the page's console messages
};

// The page at url as headless Chromium renders it in a window of that size, after 8 s of the
// page's own time (network waits not counted).
BrowserPage render_page(const std::string& url, int width, int height);

// A screenshot of the page at url rendered that way; a failing browser fails the test.
void save_screenshot(const std::string& url, int width, int height, const std::string& path);

// The API's page at port, 1100 pixels wide.
BrowserPage render_dashboard(int port, const std::string& screenshot_path = "");

// Whether the machine has Chromium for render_dashboard.
bool chromium_available();

}  // namespace e2e
