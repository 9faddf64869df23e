// Where a device thread searches a job and what it tells the source of it, on a scripted device:
// it starts at the job's first nonce, stays within the job's nonces, searches again what a failed
// launch left behind it, and reports how far it searched without a gap.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "work/device_worker.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t group_items = 16;
constexpr std::uint32_t launch_items = 4 * group_items;
constexpr std::uint64_t launch_nonces = std::uint64_t{launch_items} * nonces_per_item;
constexpr std::uint64_t group_nonces = std::uint64_t{group_items} * nonces_per_item;

enum class Outcome { searched, found, failed };

struct QueuedLaunch {
  std::uint32_t base = 0;
  std::uint32_t items = 0;
};

// Launches are collected in the order they were queued; the nth collected gets the script's
// outcome for n (searched when the script has none). A found launch reports its base + 5.
class ScriptedDevice final : public MiningDevice {
 public:
  explicit ScriptedDevice(std::map<int, Outcome> script) : script_(std::move(script)) {}

  void set_job(const WhirlpoolWords&, const Target256&) override {}
  bool queue_launch(std::uint64_t, std::uint64_t, std::uint32_t nonce_base, std::uint32_t work_items,
                    std::string&) override {
    if (waiting_.size() == static_cast<std::size_t>(launch_slots())) return false;
    waiting_.push_back({nonce_base, work_items});
    std::lock_guard lock(mutex);
    queued.push_back({nonce_base, work_items});
    return true;
  }
  BatchResult collect_launch() override {
    BatchResult result;
    if (waiting_.empty()) return result;
    const QueuedLaunch launch = waiting_.front();
    waiting_.erase(waiting_.begin());
    const auto entry = script_.find(collected_++);
    const Outcome outcome = entry == script_.end() ? Outcome::searched : entry->second;
    if (outcome == Outcome::failed) {
      result.error = "clFinish: CL_OUT_OF_RESOURCES";
      return result;
    }
    result.nonces_done = launch.items * nonces_per_item;
    if (outcome == Outcome::found) {
      result.found = true;
      result.nonce = launch.base + 5;
    }
    return result;
  }
  std::uint32_t global_size() const override { return launch_items; }
  std::uint32_t local_size() const override { return group_items; }
  int launch_slots() const override { return 2; }

  std::mutex mutex;
  std::vector<QueuedLaunch> queued;  // every launch queued, in order; under mutex

 private:
  std::map<int, Outcome> script_;
  std::vector<QueuedLaunch> waiting_;
  int collected_ = 0;
};

// The worker on the device takes one job of the nonces [first_nonce, nonce_end); the source hands
// out nothing after it.
struct SearchRun {
  std::vector<FoundNonce> found;
  bool exhausted = false;
  std::optional<JobRequest> next_request;  // the device's request after the job
  std::vector<QueuedLaunch> queued;
};

SearchRun search_once(ScriptedDevice& device, std::uint64_t first_nonce, std::uint64_t nonce_end) {
  JobBoard board;
  DeviceWorker worker;
  worker.device = &device;
  worker.clock = [] { return std::int64_t{0}; };
  worker.say = [](const std::string&) {};
  worker.failed_batch_pause_seconds = 0;
  worker.adapt_launch_size = false;
  SearchRun run;
  publish_work(
      board,
      [&](const JobRequest& request) -> std::optional<DeviceJob> {
        if (request.previous_job_id != 0) {
          run.next_request = request;
          return std::nullopt;
        }
        DeviceJob job;
        job.id = 9;
        job.generation = 1;
        job.first_nonce = first_nonce;
        job.nonce_end = nonce_end;
        return job;
      },
      1);
  start_device(worker, board);
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  bool asked_again = false;
  while (!asked_again && std::chrono::steady_clock::now() < deadline) {
    SourceEvents events = wait_for_source_events(board, deadline);
    run.found.insert(run.found.end(), events.found.begin(), events.found.end());
    run.exhausted = run.exhausted || events.refresh_wanted;
    asked_again = events.poked;
  }
  close_board(board);
  worker.thread.join();
  std::lock_guard lock(device.mutex);
  run.queued = device.queued;
  return run;
}

TEST(DeviceWorkerSearch, StartsAtTheFirstNonceAndReportsHowFarItSearchedWithoutAGap) {
  constexpr std::uint64_t first = 10 * launch_nonces;
  // A slice that ends 100 nonces past a launch and a work-group.
  constexpr std::uint64_t slice_end = first + launch_nonces + group_nonces + 100;
  const struct {
    const char* name;
    std::uint64_t first_nonce;
    std::uint64_t nonce_end;
    std::map<int, Outcome> script;
    std::vector<std::uint64_t> bases;  // of the launches queued, in order
    std::optional<std::uint32_t> found;
    std::uint64_t searched_end;
  } cases[] = {
      // The launch queued behind the one that found was searched too.
      {"nonce found", first, nonce_space, {{2, Outcome::found}}, {first, first + launch_nonces, first + 2 * launch_nonces,
                                                      first + 3 * launch_nonces},
       first + 2 * launch_nonces + 5, first + 4 * launch_nonces},
      // The launch behind a failed one found a nonce but leaves a gap behind it: its range is
      // searched again after the failed one's, and the nonce reported only then, once.
      {"failed launch in the middle", first, nonce_space, {{1, Outcome::failed}, {2, Outcome::found}, {4, Outcome::found}},
       {first, first + launch_nonces, first + 2 * launch_nonces, first + launch_nonces, first + 2 * launch_nonces,
        first + 3 * launch_nonces},
       first + 2 * launch_nonces + 5, first + 4 * launch_nonces},
      // Nothing found up to the end of the space: the last launch stops at 2^32 (one work-group
      // here) rather than wrapping around to nonce 0.
      {"nonce space used up", nonce_space - launch_nonces - group_nonces, nonce_space, {},
       {nonce_space - launch_nonces - group_nonces, nonce_space - group_nonces}, std::nullopt, nonce_space},
      // The last launch of a slice is cut to the work-groups that end within it; the few nonces
      // after them stay unsearched (the next slice is another device's), and the slice counts as
      // searched to its end.
      {"slice used up", first, slice_end, {}, {first, first + launch_nonces}, std::nullopt, slice_end},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice device(c.script);
    const SearchRun run = search_once(device, c.first_nonce, c.nonce_end);
    std::vector<std::uint64_t> bases;
    for (const QueuedLaunch& launch : run.queued) {
      bases.push_back(launch.base);
      EXPECT_LE(launch.base + std::uint64_t{launch.items} * nonces_per_item, c.nonce_end) << "past the job's end";
    }
    EXPECT_EQ(bases, c.bases);
    ASSERT_EQ(run.found.size(), c.found ? 1u : 0u);
    if (c.found) {
      EXPECT_EQ(run.found[0].job_id, 9u);
      EXPECT_EQ(run.found[0].nonce, *c.found);
    }
    EXPECT_EQ(run.exhausted, !c.found);
    ASSERT_TRUE(run.next_request.has_value());
    EXPECT_EQ(run.next_request->previous_job_id, 9u);
    EXPECT_EQ(run.next_request->previous_searched_end, c.searched_end);
  }
}

}  // namespace
