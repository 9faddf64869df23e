// The pool connection against scripted pools on loopback ports: the order of what arrives, the
// bounds on what waits in either direction, and how connections end.

#include "stratum/stratum_connection.h"

#include <asio.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Kind = ConnectionEvent::Kind;

const auto loopback = asio::ip::make_address("127.0.0.1");

// A pool that serves each connection it accepts with a script, on a thread of its own. The
// script may wait on `finished`, which the pool's end sets.
class ScriptedPool {
 public:
  using Script = std::function<void(asio::ip::tcp::socket&, const std::shared_future<void>& finished)>;

  explicit ScriptedPool(Script script, int connections = 1) : acceptor_(io_, {loopback, 0}) {
    thread_ = std::thread([this, script, connections] {
      for (int served = 0; served < connections; ++served) {
        asio::ip::tcp::socket socket(io_);
        asio::error_code error;
        acceptor_.accept(socket, error);
        if (error) return;
        script(socket, finished_);
        socket.close(error);
      }
    });
  }
  ~ScriptedPool() {
    finish_.set_value();
    thread_.join();
  }
  ScriptedPool(const ScriptedPool&) = delete;
  ScriptedPool& operator=(const ScriptedPool&) = delete;

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

 private:
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  std::promise<void> finish_;
  std::shared_future<void> finished_ = finish_.get_future().share();
  std::thread thread_;
};

void write_text(asio::ip::tcp::socket& socket, const std::string& text) {
  asio::error_code ignored;
  asio::write(socket, asio::buffer(text), ignored);
}

// Reads and drops what the client sends until it closes the connection.
void read_until_closed(asio::ip::tcp::socket& socket) {
  asio::error_code error;
  char buffer[4096];
  while (!error) socket.read_some(asio::buffer(buffer), error);
}

// The connection's owner: counts the notifications and waits for them as the pool's thread does.
struct Owner {
  explicit Owner(ConnectionLimits limits = {})
      : connection(connection_create(
            [this] {
              {
                std::lock_guard lock(mutex);
                ++notifications;
              }
              told.notify_all();
            },
            limits)) {}
  ~Owner() { connection_destroy(connection); }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;

  // Waits up to 10 s until notified more than `seen` times; the count then.
  int wait_for_notification(int seen) {
    std::unique_lock lock(mutex);
    told.wait_for(lock, 10s, [&] { return notifications > seen; });
    return notifications;
  }

  // Takes events, at most `batch` at a time, until a take brings one of this kind; every event
  // taken, in order. Between takes it relies on being told: without a notification it gives up.
  std::vector<ConnectionEvent> take_until(Kind kind, std::size_t batch = 1000) {
    std::vector<ConnectionEvent> taken;
    for (;;) {
      int seen = 0;
      {
        std::lock_guard lock(mutex);
        seen = notifications;
      }
      const std::vector<ConnectionEvent> events = connection_take_events(*connection, batch);
      std::size_t bytes = 0;
      bool arrived = false;
      for (const ConnectionEvent& event : events) {
        if (event.kind == Kind::line) bytes += event.text.size();  // a close's text is its reason
        arrived = arrived || event.kind == kind;
      }
      largest_take = std::max(largest_take, events.size());
      largest_take_bytes = std::max(largest_take_bytes, bytes);
      taken.insert(taken.end(), events.begin(), events.end());
      if (arrived) return taken;
      if (events.size() == batch) continue;  // more may be waiting, and no one says so
      if (wait_for_notification(seen) == seen) {
        ADD_FAILURE() << "no notification within 10 s";
        return taken;
      }
    }
  }

  std::mutex mutex;
  std::condition_variable told;
  int notifications = 0;
  std::size_t largest_take = 0;        // events
  std::size_t largest_take_bytes = 0;  // of the lines taken at once
  StratumConnection* connection;
};

TEST(StratumConnection, LinesArriveInOrderAndTheCloseComesAfterThem) {
  ScriptedPool pool([](asio::ip::tcp::socket& socket, const std::shared_future<void>&) {
    asio::streambuf request;
    asio::error_code error;
    const std::size_t length = asio::read_until(socket, request, '\n', error);
    const std::string line(asio::buffers_begin(request.data()),
                           asio::buffers_begin(request.data()) + static_cast<std::ptrdiff_t>(length));
    // Lines, a blank one and the close in one burst.
    write_text(socket, "first\r\n\nsecond\n" + line);
  });
  Owner owner;
  connection_open(*owner.connection, "127.0.0.1", pool.port());
  EXPECT_TRUE(connection_is_active(*owner.connection));
  ASSERT_EQ(owner.take_until(Kind::connected).size(), 1u);
  EXPECT_TRUE(connection_is_up(*owner.connection));
  connection_send(*owner.connection, "hello");

  const std::vector<ConnectionEvent> events = owner.take_until(Kind::closed);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].text, "first");
  EXPECT_EQ(events[1].text, "second");
  EXPECT_EQ(events[2].text, "hello");
  for (std::size_t index = 0; index < 3; ++index) EXPECT_EQ(events[index].kind, Kind::line);
  EXPECT_EQ(events[3].text, "the pool closed the connection");
  EXPECT_TRUE(events[3].was_connected);
  EXPECT_FALSE(connection_is_up(*owner.connection));
  EXPECT_FALSE(connection_is_active(*owner.connection));
}

// A pool that sends far more than the owner takes: the connection holds no more than its limits
// (the rest waits in the pool's socket), and nothing is lost or reordered.
TEST(StratumConnection, FloodWaitsInThePoolsSocketUntilTheOwnerTakesIt) {
  constexpr int flood_lines = 50'000;
  const struct {
    const char* name;
    ConnectionLimits limits;
    std::size_t most_events;  // in one take
    std::size_t most_bytes;   // of the lines in one take
  } cases[] = {
      {"event limit", {.waiting_events = 8}, 8, 8 * 12},
      // At the byte limit, the line that reached it is still queued.
      {"byte limit", {.waiting_bytes = 100}, 100 / 6 + 2, 100 + 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPool pool([](asio::ip::tcp::socket& socket, const std::shared_future<void>&) {
      std::string flood;
      for (int index = 0; index < flood_lines; ++index) flood += "line " + std::to_string(index) + "\n";
      write_text(socket, flood);
    });
    Owner owner(c.limits);
    connection_open(*owner.connection, "127.0.0.1", pool.port());
    owner.wait_for_notification(0);
    // Time for the connection to read on if it would.
    std::this_thread::sleep_for(200ms);

    const std::vector<ConnectionEvent> events = owner.take_until(Kind::closed);
    EXPECT_LE(owner.largest_take, c.most_events);
    EXPECT_LE(owner.largest_take_bytes, c.most_bytes);
    ASSERT_EQ(events.size(), flood_lines + 2u);
    EXPECT_EQ(events.front().kind, Kind::connected);
    for (int index = 0; index < flood_lines; ++index) {
      ASSERT_EQ(events[static_cast<std::size_t>(index) + 1].text, "line " + std::to_string(index));
    }
    EXPECT_TRUE(events.back().was_connected);
  }
}

// Far more than the limits allow to be queued goes to a pool that reads it; a pool that never
// reads is dropped as a failed attempt once the kernel's buffers and the outgoing queue are full.
TEST(StratumConnection, OnlyAPoolThatDoesNotReadIsDropped) {
  const struct {
    const char* name;
    ConnectionLimits limits;
  } cases[] = {
      {"byte limit", {.outgoing_bytes = 16 << 10}},
      {"line limit", {.outgoing_lines = 4}},
  };
  constexpr int bursts = 1000;
  constexpr std::size_t lines_per_burst = 2;
  const std::string line(4095, 'x');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      // Each burst is answered once the pool has read it; 8 MB in all.
      ScriptedPool reading([&](asio::ip::tcp::socket& socket, const std::shared_future<void>&) {
        asio::streambuf received;
        asio::error_code error;
        for (int burst = 0; burst < bursts && !error; ++burst) {
          for (std::size_t index = 0; index < lines_per_burst && !error; ++index) {
            received.consume(asio::read_until(socket, received, '\n', error));
          }
          write_text(socket, "read " + std::to_string(burst) + "\n");
        }
        read_until_closed(socket);
      });
      Owner owner(c.limits);
      connection_open(*owner.connection, "127.0.0.1", reading.port());
      ASSERT_EQ(owner.take_until(Kind::connected).size(), 1u);
      for (int burst = 0; burst < bursts; ++burst) {
        for (std::size_t index = 0; index < lines_per_burst; ++index) connection_send(*owner.connection, line);
        const std::vector<ConnectionEvent> events = owner.take_until(Kind::line);
        ASSERT_EQ(events.size(), 1u);
        ASSERT_EQ(events[0].text, "read " + std::to_string(burst));
      }
    }
    ScriptedPool deaf([](asio::ip::tcp::socket&, const std::shared_future<void>& finished) { finished.wait(); });
    Owner owner(c.limits);
    connection_open(*owner.connection, "127.0.0.1", deaf.port());
    ASSERT_EQ(owner.take_until(Kind::connected).size(), 1u);
    std::vector<ConnectionEvent> events;
    for (int burst = 0; burst < bursts && events.empty(); ++burst) {
      for (std::size_t index = 0; index < lines_per_burst; ++index) connection_send(*owner.connection, line);
      events = connection_take_events(*owner.connection, 10);
    }
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::closed);
    EXPECT_EQ(events[0].text, "the pool does not read what the miner sends");
    EXPECT_FALSE(events[0].was_connected) << "a failed attempt, not a lost connection";
    EXPECT_FALSE(connection_is_active(*owner.connection));
  }
}

TEST(StratumConnection, CloseDropsWhatWasNotTakenAndOpenStartsAfresh) {
  ScriptedPool pool(
      [](asio::ip::tcp::socket& socket, const std::shared_future<void>&) {
        write_text(socket, "one\ntwo\n");
        read_until_closed(socket);
      },
      2);
  Owner owner;
  connection_open(*owner.connection, "127.0.0.1", pool.port());
  ASSERT_EQ(owner.take_until(Kind::connected, 1).size(), 1u);
  std::this_thread::sleep_for(100ms);  // for the pool's lines to be waiting
  connection_close(*owner.connection);
  EXPECT_FALSE(connection_is_active(*owner.connection));
  EXPECT_FALSE(connection_is_up(*owner.connection));
  EXPECT_TRUE(connection_take_events(*owner.connection, 10).empty());
  connection_send(*owner.connection, "dropped: no connection");

  connection_open(*owner.connection, "127.0.0.1", pool.port());
  const std::vector<ConnectionEvent> events = owner.take_until(Kind::line, 1);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, Kind::connected);
  EXPECT_EQ(events[1].text, "one");
}

TEST(StratumConnection, FailedAttemptsAndOverlongLinesEndTheConnection) {
  // Bound but not listening: connections are refused.
  asio::io_context io;
  asio::ip::tcp::acceptor refusing(io);
  refusing.open(asio::ip::tcp::v4());
  refusing.bind({loopback, 0});
  ScriptedPool overlong([](asio::ip::tcp::socket& socket, const std::shared_future<void>&) {
    write_text(socket, std::string(2000, 'x'));
    read_until_closed(socket);
  });

  const struct {
    const char* name;
    std::uint16_t port;
    const char* reason;  // empty: any
    bool was_connected;
  } cases[] = {
      {"refused", refusing.local_endpoint().port(), "", false},
      {"line over the limit", overlong.port(), "the pool sent a line longer than 1024 bytes", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Owner owner({.longest_line = 1024});
    connection_open(*owner.connection, "127.0.0.1", c.port);
    const std::vector<ConnectionEvent> events = owner.take_until(Kind::closed);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.size(), c.was_connected ? 2u : 1u);
    EXPECT_FALSE(events.back().text.empty());
    if (*c.reason != '\0') {
      EXPECT_EQ(events.back().text, c.reason);
    }
    EXPECT_EQ(events.back().was_connected, c.was_connected);
    EXPECT_FALSE(connection_is_active(*owner.connection));
  }
}

}  // namespace
