#include "e2e/api_client.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>

#include "e2e/e2e_support.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace e2e {

int api_port(const std::string& output) {
  const std::string prefix = "  [*] API listening on http://127.0.0.1:";
  const std::size_t start = output.find(prefix);
  return start == std::string::npos ? 0 : std::atoi(output.c_str() + start + prefix.size());
}

std::string api_get(int port, const std::string& path) {
  httplib::Client http("127.0.0.1", port);
  http.set_read_timeout(30, 0);
  auto response = http.Get(path);
  EXPECT_TRUE(response) << path;
  if (!response) return "";
  EXPECT_EQ(response->status, 200) << path;
  return response->body;
}

nlohmann::json parse_metrics(const std::string& text) {
  test_support::TemporaryFile file(text, ".txt");
  const auto result = test_support::run_command("/usr/bin/python3 " + source_dir + "/tests/api/parse_metrics.py < " +
                                                file.path.string() + " 2>&1");
  EXPECT_EQ(result.exit_code, 0) << result.output << "\n" << text;
  return result.exit_code == 0 ? nlohmann::json::parse(result.output) : nlohmann::json::array();
}

double metric_value(const nlohmann::json& samples, const std::string& name, const nlohmann::json& labels) {
  for (const auto& sample : samples) {
    if (sample["name"] != name) continue;
    bool match = true;
    for (const auto& [key, value] : labels.items()) match = match && sample["labels"].value(key, "") == value;
    if (match) return sample["value"];
  }
  ADD_FAILURE() << "no sample " << name << " " << labels.dump();
  return -1;
}

bool chromium_available() { return test_support::run_command("command -v chromium").exit_code == 0; }

namespace {

std::string browser_command(const test_support::TemporaryDirectory& profile, int width, int height) {
  return "chromium --headless=new --no-sandbox --disable-gpu --no-first-run --user-data-dir=" + profile.path.string() +
         " --enable-logging=stderr --v=0 --virtual-time-budget=8000 --hide-scrollbars --window-size=" +
         std::to_string(width) + "," + std::to_string(height) + " ";
}

}  // namespace

BrowserPage render_page(const std::string& url, int width, int height) {
  test_support::TemporaryDirectory profile;
  const auto dom = test_support::run_command(browser_command(profile, width, height) + "--dump-dom " + url + " 2>" +
                                             profile.path.string() + "/log.txt");
  return {dom.exit_code, dom.output, test_support::read_file(profile.path / "log.txt")};
}

void save_screenshot(const std::string& url, int width, int height, const std::string& path) {
  test_support::TemporaryDirectory profile;
  const auto shot =
      test_support::run_command(browser_command(profile, width, height) + "--screenshot=" + path + " " + url + " 2>&1");
  EXPECT_EQ(shot.exit_code, 0) << shot.output;
}

BrowserPage render_dashboard(int port, const std::string& screenshot_path) {
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  BrowserPage page = render_page(url, 1100, 1400);
  if (!screenshot_path.empty()) save_screenshot(url, 1100, 1400, screenshot_path);
  return page;
}

}  // namespace e2e
