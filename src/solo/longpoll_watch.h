#pragma once
// Keeps one getblocktemplate longpoll outstanding on a connection of its own and tells the solo
// work source when the node's template changed (a new tip or a new transaction set).

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "rpc/rpc_client.h"

// Shared by the source and the longpoll thread; the thread may outlive the source's run (a
// held request cannot be cut short), so both hold it by shared_ptr.
struct LongpollWatch {
  // Wakes the source when a change comes in; called under mutex and never after stop_longpoll,
  // so it may refer to what the source owns.
  std::function<void()> notify;
  std::mutex mutex;
  std::condition_variable wake;     // a first id or the stop
  std::string wait_id;              // the longpollid to wait on first; empty: none yet
  bool changed = false;             // a template with another longpollid came in
  std::string changed_longpoll_id;  // its longpollid
  std::string changed_previous_block;  // its previous block hash
  bool failing = false;  // the last request failed or the node stopped sending ids: poll the tip
  bool stopping = false;
};

// Starts the longpoll thread with its own client (opened by the caller). It waits for the first
// id, then keeps one request outstanding; failed requests are retried after 1 s, doubling up to
// 60 s. The thread is detached: at the end of mining it is asked to stop and ends once its
// request returns.
void start_longpoll(const std::shared_ptr<LongpollWatch>& watch, RpcClient client);

// Gives the thread its first id (later ones come from its own replies).
void longpoll_set_id(LongpollWatch& watch, const std::string& longpoll_id);
// After this the thread calls notify no more; it ends once its request returns.
void stop_longpoll(LongpollWatch& watch);
