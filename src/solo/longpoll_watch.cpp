#include "solo/longpoll_watch.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "rpc/block_template.h"

namespace {

constexpr std::chrono::seconds first_retry_pause{1};
constexpr std::chrono::seconds longest_retry_pause{60};
// A request that fails after being held this long most likely met a client time-out (WinHTTP
// gives up after 30 s) while the node was waiting for news: it is sent again at once.
constexpr std::chrono::seconds long_hold{15};

void run_longpoll(const std::shared_ptr<LongpollWatch>& watch, RpcClient& client) {
  std::string id;
  auto pause = first_retry_pause;
  std::unique_lock lock(watch->mutex);
  while (!watch->stopping) {
    if (id.empty()) {
      watch->wake.wait(lock, [&] { return watch->stopping || !watch->wait_id.empty(); });
      id = watch->wait_id;
      continue;
    }
    lock.unlock();
    const auto sent = std::chrono::steady_clock::now();
    const BlockTemplate reply = get_block_template_longpoll(client, id);
    const bool held_long = std::chrono::steady_clock::now() - sent >= long_hold;
    lock.lock();
    if (watch->stopping) break;
    if (!reply.valid && held_long) continue;
    if (!reply.valid || reply.longpoll_id.empty()) {
      // The source polls the tip meanwhile; a node without ids is asked again after the pause.
      watch->failing = true;
      watch->wake.wait_for(lock, pause, [&] { return watch->stopping; });
      pause = std::min(pause * 2, longest_retry_pause);
      continue;
    }
    watch->failing = false;
    pause = first_retry_pause;
    if (reply.longpoll_id != id) {
      id = reply.longpoll_id;
      watch->changed = true;
      watch->changed_longpoll_id = reply.longpoll_id;
      watch->changed_previous_block = reply.previous_block_hash;
      watch->notify();
    }
  }
  lock.unlock();
  rpc_client_close(client);
}

}  // namespace

void start_longpoll(const std::shared_ptr<LongpollWatch>& watch, RpcClient client) {
  std::thread([watch, client = std::move(client)]() mutable { run_longpoll(watch, client); }).detach();
}

void longpoll_set_id(LongpollWatch& watch, const std::string& longpoll_id) {
  {
    std::lock_guard lock(watch.mutex);
    watch.wait_id = longpoll_id;
  }
  watch.wake.notify_all();
}

void stop_longpoll(LongpollWatch& watch) {
  {
    std::lock_guard lock(watch.mutex);
    watch.stopping = true;
  }
  watch.wake.notify_all();
}
