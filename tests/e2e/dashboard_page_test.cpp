// The dashboard page in headless Chromium, served with the API's own documents of a made-up run:
// a desktop and a phone width side by side in one harness page, whose script reads the layout
// (before the first answer and after it) out of the page and writes it down for the test.

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/api_documents.h"
#include "api/dashboard_page.h"
#include "e2e/api_client.h"
#include "stats/mining_stats.h"

namespace {

using nlohmann::json;

const std::string binary_dir = VELTRANE_BINARY_DIR;
constexpr double run_seconds = 180;
// Every summary is answered this late, so that the page is seen while it waits for its first one.
constexpr auto summary_delay = std::chrono::milliseconds(1500);

constexpr std::int64_t second_ns = 1'000'000'000;

std::int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One second of the made-up run's two devices, the first a little uneven.
void mine_one_second(MiningStats& stats, std::int64_t from_ns) {
  const auto wobble = static_cast<std::uint64_t>((from_ns / second_ns) % 7) * 3'000'000;
  stats_record_batch(stats, 0, 1'480'000'000 + wobble, from_ns, from_ns + second_ns);
  stats_record_batch(stats, 1, 1'130'000'000, from_ns, from_ns + second_ns);
}

// Loads the page at 1280 and at 400 pixels in two frames. At each frame's load event (the page's
// first request is still unanswered) it notes the mode, the status and the sections shown; once
// the status says the data came, the rates' places, the device rows' layout, the chart's time
// labels and the rig panel's visible text. The result goes into #result as JSON.
constexpr const char* harness_page = R"html(<!DOCTYPE html>
<html><body style="margin:0">
<iframe id="wide" src="/" style="width:1280px;height:1000px;border:0"></iframe>
<iframe id="narrow" src="/" style="width:400px;height:1000px;border:0"></iframe>
<pre id="result"></pre>
<script>
const result = {};
const sections = doc => ["nodeSection", "poolSection", "blocksSection"].filter(id => !doc.getElementById(id).hidden);
function whenAnswered(frame, done) {
  const doc = frame.contentDocument;
  if (doc.getElementById("status").textContent.startsWith("updated")) done(doc, frame.contentWindow);
  else setTimeout(() => whenAnswered(frame, done), 50);
}
for (const frame of document.querySelectorAll("iframe")) {
  frame.addEventListener("load", () => {
    const doc = frame.contentDocument;
    const entry = result[frame.id] = {};
    entry.before = { mode: doc.body.dataset.mode, status: doc.getElementById("status").textContent,
                     sections: sections(doc) };
    whenAnswered(frame, (doc, view) => {
      entry.after = {
        mode: doc.body.dataset.mode, sections: sections(doc), viewport: view.innerWidth,
        page_width: doc.documentElement.scrollWidth,
        rates: [...doc.querySelectorAll("#devices td.rate")].map(td => {
          const box = td.getBoundingClientRect();
          return { text: td.textContent, left: box.left, right: box.right };
        }),
        row_display: view.getComputedStyle(doc.querySelector("#devices tr")).display,
        chart_title: doc.getElementById("chartTitle").textContent,
        labels: [...doc.querySelectorAll("#chart text.time")].map(t => ({ time: Number(t.dataset.time),
                                                                         text: t.textContent })),
        rig: doc.getElementById("rigSection").innerText,
        temperatures: [...doc.querySelectorAll('#devices td[data-label="Temp"]')].map(td => td.textContent),
        efficiency: [...doc.querySelectorAll('#devices td[data-label="H/J"]')].map(td => td.textContent),
      };
      if (result.wide && result.wide.after && result.narrow && result.narrow.after) {
        document.getElementById("result").textContent = JSON.stringify(result);
      }
    });
  });
}
</script>
</body></html>
)html";

// The page, the summary and the history of the statistics, and the harness, on a free port.
struct PageServer {
  MiningStats stats;
  std::mutex mining;              // the request threads bring the run up to date in turn
  std::int64_t mined_until = 0;   // under mining
  httplib::Server http;
  std::thread thread;
  int port = 0;

  PageServer() {
    http.Get("/", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(std::string(dashboard_page), "text/html; charset=utf-8");
    });
    http.Get("/harness", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(harness_page, "text/html; charset=utf-8");
    });
    http.Get("/api/summary", [this](const httplib::Request&, httplib::Response& response) {
      std::this_thread::sleep_for(summary_delay);
      response.set_content(summary_json(snapshot()), "application/json");
    });
    http.Get("/api/history", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(history_json(snapshot()), "application/json");
    });
    port = http.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { http.listen_after_bind(); });
  }
  ~PageServer() {
    http.stop();
    thread.join();
  }
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  // The devices mine on until the time of the request, as a rig's do.
  StatsSnapshot snapshot() {
    const std::int64_t now = steady_now_ns();
    {
      const std::lock_guard lock(mining);
      for (; mined_until + second_ns <= now; mined_until += second_ns) mine_one_second(stats, mined_until);
    }
    return stats_snapshot(stats, now, unix_time_now());
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
};

// A run on two devices that started three minutes ago, in solo or pool mining.
void start_short_run(PageServer& server, bool pool_mining) {
  MiningStats& stats = server.stats;
  const std::int64_t now = steady_now_ns();
  {
    const std::lock_guard lock(server.mining);
    server.mined_until = now - static_cast<std::int64_t>(run_seconds) * second_ns;
    stats_start(stats, server.mined_until);
  }
  stats_add_device(stats, 0, "Radeon RX 6800");
  stats_add_device(stats, 1, "Radeon RX 6700 XT");
  // The first card's sensors are known, the second's are not.
  stats_record_sensors(stats, 0, {64, 42, 182, 2100});
  if (pool_mining) {
    stats_set_rig(stats, {"", "vtr1qexampleworker.rig1", {"stratum+ssl://pool.lan:3334", "stratum+tcp://backup.lan:3333"}});
    PoolStats pool;
    pool.url = "stratum+ssl://pool.lan:3334";
    pool.pools = {{"stratum+ssl://pool.lan:3334", "vtr1qexampleworker.rig1", true, true, true, 2, 0, 0.038},
                  {"stratum+tcp://backup.lan:3333", "vtr1qexampleworker.backup", false, false, false, 1, 1, std::nullopt}};
    pool.worker = "vtr1qexampleworker.rig1";
    pool.connected = true;
    pool.authorized = true;
    pool.difficulty = 0.25;
    pool.shares_accepted = 57;
    stats_set_pool(stats, pool, {});
  } else {
    stats_set_rig(stats, {"vtr1qexamplepayoutaddress", "", {}});
    stats_set_node_url(stats, "http://127.0.0.1:8899");
    stats_record_template(stats, 1204, "00000000a1b2c3", now);
  }
}

// The harness's result from the dumped DOM (text there has &, < and > escaped).
json harness_result(const std::string& dom) {
  const std::string open = "<pre id=\"result\">";
  const std::size_t begin = dom.find(open);
  const std::size_t end = dom.find("</pre>", begin);
  if (begin == std::string::npos || end == std::string::npos) return json();
  std::string text = dom.substr(begin + open.size(), end - begin - open.size());
  // "&amp;" last, so that an escaped entity's text stays as it was.
  const std::pair<std::string, std::string> entities[] = {{"&lt;", "<"}, {"&gt;", ">"}, {"&nbsp;", "\u00a0"}, {"&amp;", "&"}};
  for (const auto& [entity, character] : entities) {
    for (std::size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1)) {
      text.replace(at, entity.size(), character);
    }
  }
  return json::parse(text, nullptr, false);
}

struct PageCase {
  const char* name;
  bool pool_mining;
  std::vector<std::string> rig_shows;     // in the rig panel's visible text
  std::vector<std::string> rig_hides;     // not in it
  std::vector<std::string> sections;      // shown once the mode is known
};

TEST(DashboardPage, BothWidthsShowRatesChartOfTheRunAndTheRigAfterANeutralStart) {
  if (!e2e::chromium_available()) GTEST_SKIP() << "chromium is not installed";
  const PageCase cases[] = {
      {"pool mining", true,
       {"Worker", "stratum+ssl://pool.lan:3334 · as vtr1qexampleworker.rig1, TLS, pinned, 38 ms (in use)",
        "stratum+tcp://backup.lan:3333 · as vtr1qexampleworker.backup, 1 failover\n"},
       {"Payout address"},
       {"poolSection"}},
      {"solo mining", false, {"Payout address", "vtr1qexamplepayoutaddress"}, {"Worker", "Pools"},
       {"nodeSection", "blocksSection"}},
  };
  for (const PageCase& c : cases) {
    SCOPED_TRACE(c.name);
    PageServer server;
    ASSERT_GT(server.port, 0);
    start_short_run(server, c.pool_mining);
    const StatsSnapshot snapshot = server.snapshot();

    const e2e::BrowserPage page = e2e::render_page(server.url("/harness"), 1700, 1100);
    EXPECT_EQ(page.exit_code, 0) << page.log;
    EXPECT_EQ(page.log.find("CONSOLE"), std::string::npos) << page.log;
    const json result = harness_result(page.dom);
    ASSERT_TRUE(result.is_object()) << page.dom;

    for (const char* frame : {"wide", "narrow"}) {
      SCOPED_TRACE(frame);
      ASSERT_TRUE(result.contains(frame) && result[frame].contains("after")) << result.dump(1);
      const json& before = result[frame]["before"];
      const json& after = result[frame]["after"];
      // Before the first answer: neither mode's layout.
      EXPECT_EQ(before["mode"], "connecting");
      EXPECT_EQ(before["status"], "connecting…");
      EXPECT_EQ(before["sections"], json::array());
      EXPECT_EQ(after["mode"], c.pool_mining ? "pool" : "solo");
      EXPECT_EQ(after["sections"], json(c.sections));

      // Every device's three rates, inside the screen, and nothing wider than it.
      const double viewport = after["viewport"];
      EXPECT_LE(after["page_width"].get<double>(), viewport) << "the page scrolls sideways";
      ASSERT_EQ(after["rates"].size(), 6u) << after.dump(1);
      for (const json& rate : after["rates"]) {
        EXPECT_TRUE(rate["text"].get<std::string>().ends_with("H/s")) << rate.dump();
        EXPECT_GE(rate["left"].get<double>(), 0) << rate.dump();
        EXPECT_LE(rate["right"].get<double>(), viewport) << rate.dump();
      }
      EXPECT_EQ(after["row_display"], std::string(frame) == "wide" ? "table-row" : "block");

      // The chart spans the three minutes of the run, not the last hour.
      EXPECT_EQ(after["chart_title"], "Hash rate since the start");
      EXPECT_EQ(after["temperatures"], json({"64 °C", "–"}));
      EXPECT_TRUE(after["efficiency"][0].get<std::string>().ends_with("H/J")) << after["efficiency"].dump();
      EXPECT_EQ(after["efficiency"][1], "–");
      const json& labels = after["labels"];
      ASSERT_GE(labels.size(), 2u) << after.dump(1);
      const double first = labels.front()["time"], last = labels.back()["time"];
      EXPECT_GE(first, snapshot.start_time - 1) << labels.dump();
      EXPECT_LT(first, snapshot.start_time + run_seconds / 3) << labels.dump();
      EXPECT_GT(last, snapshot.unix_time - run_seconds / 2) << labels.dump();
      for (const json& label : labels) EXPECT_NE(label["text"].get<std::string>().find(':'), std::string::npos);

      const std::string rig = after["rig"];
      std::vector<std::string> shows = c.rig_shows;
      shows.push_back("Version");
      shows.push_back("3 min ");  // the run's length when the page asked
      for (const std::string& text : shows) EXPECT_NE(rig.find(text), std::string::npos) << text << " in\n" << rig;
      for (const std::string& text : c.rig_hides) EXPECT_EQ(rig.find(text), std::string::npos) << text << " in\n" << rig;
    }
    if (c.pool_mining) {
      // The pictures in README: a pool rig on a desktop and on a phone.
      const std::pair<int, int> sizes[] = {{1280, 1080}, {400, 1900}};
      for (const auto& [width, height] : sizes) {
        const std::string screenshot = binary_dir + "/page-" + std::to_string(width) + ".png";
        std::filesystem::remove(screenshot);
        e2e::save_screenshot(server.url("/"), width, height, screenshot);
        EXPECT_TRUE(std::filesystem::exists(screenshot) && std::filesystem::file_size(screenshot) > 10'000) << screenshot;
      }
    }
  }
}

}  // namespace
