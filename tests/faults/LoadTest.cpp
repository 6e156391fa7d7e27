// Load: many host threads on one handler, and many handlers on many devices at once. The device
// must see strictly command, reply, command, reply; every reply must reach the call whose
// command asked for it, once; and separate handlers must not wait for one another.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"
#include "DeviceServer.h"
#include "FaultKit.h"
#include "Frames.h"
#include "Responder.h"

namespace {

using torvek::sim::Action;
using namespace std::chrono_literals;
using torvek::fault::WaitUntil;

// Answers "0gp" with the number of position requests so far (1, 2, 3, ...), so that every
// reply is different and each can be traced to the call that received it; answers a move with
// the target it was sent.
class CountingDevice : public torvek::sim::Responder {
 public:
  // With `hold`, the first position request is answered only once `hold` is ready.
  explicit CountingDevice(std::int32_t base = 0, std::shared_future<void> hold = {})
      : base_(base), hold_(std::move(hold)) {}

  Action OnCommand(const std::string& command) override {
    if (command == "0in") {
      return Action::Reply(torvek::test::kDefaultIdentification);
    }
    if (command == "0gp") {
      const std::int32_t n = ++position_requests_;
      if (n == 1 && hold_.valid()) {
        hold_.wait();
      }
      return Action::Reply(torvek::sim::PositionFrame(base_ + n));
    }
    if (command.compare(0, 3, "0ma") == 0) {
      return Action::Reply("0PO" + command.substr(3) + "\r\n");
    }
    return Action::Reply(torvek::sim::StatusFrame(0));
  }

 private:
  const std::int32_t base_;
  std::atomic<std::int32_t> position_requests_{0};
  const std::shared_future<void> hold_;
};

// Starts the device's logs afresh after Connect. The device logs a reply once its write has
// returned, which can be just after the host has read it, so wait for that first.
void ForgetTheIdentification(torvek::sim::DeviceServer& server) {
  EXPECT_TRUE(WaitUntil([&] { return server.SentLog().size() >= server.CommandCount(); }));
  server.ClearLog();
}

// Walks the device's reads and writes in time order. Returns how many times the device had two
// commands in hand without a reply between them, and counts the replies seen.
int OverlapsOnTheWire(const torvek::sim::DeviceServer& server, std::size_t* commands_seen,
                      std::size_t* replies_seen) {
  const std::vector<torvek::sim::Received> received = server.Log();
  const std::vector<torvek::sim::Sent> sent = server.SentLog();
  torvek::sim::CommandSplitter splitter;
  std::size_t commands = 0;
  std::size_t replies = 0;
  int overlaps = 0;
  std::size_t r = 0;
  std::size_t s = 0;
  while (r < received.size() || s < sent.size()) {
    // One thread stamps both logs, so their order is the order things happened in.
    if (s == sent.size() || (r < received.size() && received[r].when <= sent[s].when)) {
      splitter.Feed(received[r++].bytes);
      while (splitter.Next()) {
        ++commands;
      }
      if (commands > replies + 1) {
        ++overlaps;
        replies = commands - 1;  // count each overlap once
      }
    } else {
      ++s;
      ++replies;
      if (replies > commands) {
        ++overlaps;  // a reply with no command waiting for it
      }
    }
  }
  *commands_seen = commands;
  *replies_seen = sent.size();
  return overlaps;
}

TEST(Load, EightThreadsOnOneHandlerTakeStrictTurnsOnTheWire) {
  constexpr int kThreads = 8;
  constexpr int kCallsPerThread = 1000;
  CountingDevice device;
  torvek::sim::DeviceServer server{device};
  TORVEK::AttenuatorHandler handler;
  ASSERT_TRUE(torvek::fault::ConnectPatiently(handler, server.Path()));
  ForgetTheIdentification(server);

  // Three position reads and one move in every four calls.
  std::vector<std::vector<int>> positions(kThreads);
  std::atomic<int> failures{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // A broken lock would make calls time out by the thousand; stop early then.
      for (int i = 0; i < kCallsPerThread && failures.load() < 10; ++i) {
        if (i % 4 == 3) {
          failures += handler.SetMotorSteps(t * 10000 + i, 2000) != TORVEK::Ok;
        } else {
          int steps = -1;
          failures += handler.GetMotorSteps(&steps, 2000) != TORVEK::Ok;
          positions[t].push_back(steps);
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(failures.load(), 0);

  // Each position reply reached exactly one call, and each thread's replies came in the
  // order it asked.
  std::vector<int> all;
  for (const std::vector<int>& mine : positions) {
    EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
    EXPECT_EQ(std::adjacent_find(mine.begin(), mine.end()), mine.end());
    all.insert(all.end(), mine.begin(), mine.end());
  }
  std::sort(all.begin(), all.end());
  std::vector<int> each_once(all.size());
  for (std::size_t i = 0; i < each_once.size(); ++i) {
    each_once[i] = static_cast<int>(i) + 1;
  }
  EXPECT_EQ(all, each_once) << "a reply was lost, repeated or given to the wrong call";

  const std::size_t total = static_cast<std::size_t>(kThreads) * kCallsPerThread;
  ASSERT_TRUE(WaitUntil([&] { return server.SentLog().size() >= total; }));
  std::size_t commands = 0;
  std::size_t replies = 0;
  EXPECT_EQ(OverlapsOnTheWire(server, &commands, &replies), 0)
      << "two commands reached the device without a reply between them";
  EXPECT_EQ(commands, total);
  EXPECT_EQ(replies, total);
  std::cout << "load: " << kThreads << " threads x " << kCallsPerThread
            << " calls on one handler: " << total << " calls in " << seconds << " s ("
            << total / seconds << " calls/s), commands " << commands << ", replies " << replies
            << ", overlaps 0 required\n";
}

TEST(Load, SixteenHandlersOnSixteenDevicesWorkIndependently) {
  constexpr int kHandlers = 16;
  constexpr int kCallsPerHandler = 250;
  // Device 0 sits on its first answer until the other fifteen are through with all of theirs.
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  std::vector<std::unique_ptr<CountingDevice>> devices;
  std::vector<std::unique_ptr<torvek::sim::DeviceServer>> servers;
  std::vector<std::unique_ptr<TORVEK::AttenuatorHandler>> handlers;
  for (int h = 0; h < kHandlers; ++h) {
    devices.push_back(std::make_unique<CountingDevice>(
        h * 1000000, h == 0 ? released : std::shared_future<void>()));
    servers.push_back(std::make_unique<torvek::sim::DeviceServer>(*devices.back()));
    handlers.push_back(std::make_unique<TORVEK::AttenuatorHandler>());
    ASSERT_TRUE(torvek::fault::ConnectPatiently(*handlers.back(), servers.back()->Path()));
    ForgetTheIdentification(*servers.back());
  }
  struct Releaser {
    std::promise<void>& promise;
    bool done = false;
    void operator()() {
      if (!done) {
        promise.set_value();
        done = true;
      }
    }
    ~Releaser() { (*this)(); }
  } releaser{release};

  std::atomic<int> finished_others{0};
  std::atomic<bool> first_call_returned{false};
  std::vector<std::vector<int>> positions(kHandlers);
  std::atomic<int> failures{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int h = 0; h < kHandlers; ++h) {
    threads.emplace_back([&, h] {
      for (int i = 0; i < kCallsPerHandler; ++i) {
        int steps = -1;
        failures += handlers[h]->GetMotorSteps(&steps, 60000) != TORVEK::Ok;
        positions[h].push_back(steps);
        if (h == 0 && i == 0) {
          first_call_returned = true;
        }
      }
      if (h != 0) {
        ++finished_others;
      }
    });
  }
  ASSERT_TRUE(WaitUntil([&] { return finished_others.load() == kHandlers - 1; }, 60000ms));
  const double others_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_FALSE(first_call_returned.load())
      << "the held call returned before the other handlers were done";
  releaser();
  for (std::thread& thread : threads) {
    thread.join();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(failures.load(), 0);

  for (int h = 0; h < kHandlers; ++h) {
    SCOPED_TRACE(h);
    // Exactly its own device's replies, 1 to 250 in order: none from another device.
    std::vector<int> expected(kCallsPerHandler);
    for (int i = 0; i < kCallsPerHandler; ++i) {
      expected[static_cast<std::size_t>(i)] = h * 1000000 + i + 1;
    }
    EXPECT_EQ(positions[h], expected);
    ASSERT_TRUE(WaitUntil([&] { return servers[h]->SentLog().size() >= kCallsPerHandler; }));
    std::size_t commands = 0;
    std::size_t replies = 0;
    EXPECT_EQ(OverlapsOnTheWire(*servers[h], &commands, &replies), 0);
    EXPECT_EQ(commands, static_cast<std::size_t>(kCallsPerHandler));
    EXPECT_EQ(replies, static_cast<std::size_t>(kCallsPerHandler));
  }
  std::cout << "load: " << kHandlers << " handlers x " << kCallsPerHandler
            << " calls on their own devices: " << kHandlers * kCallsPerHandler << " calls in "
            << seconds << " s; the other 15 finished all " << (kHandlers - 1) * kCallsPerHandler
            << " calls in " << others_seconds << " s while handler 0 waited on its first reply\n";
}

}  // namespace
