// Calls from several threads on one handler: one transaction at a time on the wire.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"

namespace {

using torvek::sim::Action;
using namespace std::chrono_literals;

// Each command is answered after a pause, so that a second command written before the answer
// would be seen by the device as arriving between the two.
class SlowStatusDevice : public torvek::sim::Responder {
 public:
  torvek::sim::Action OnCommand(const std::string& command) override {
    if (command == "0in") {
      return Action::Reply(torvek::test::kDefaultIdentification);
    }
    return Action::Late("0GS00\r\n", 2ms);
  }
};

TEST(Concurrency, TwoThreadsOnOneHandlerNeverOverlapOnTheWire) {
  SlowStatusDevice device;
  torvek::sim::DeviceServer server{device};
  TORVEK::AttenuatorHandler handler;
  ASSERT_TRUE(handler.Connect(server.Path()));
  server.ClearLog();

  constexpr int kCallsPerThread = 40;
  std::atomic<int> failures{0};
  auto work = [&] {
    for (int i = 0; i < kCallsPerThread; ++i) {
      if (handler.GetCurrentStatus(1000) != TORVEK::Ok) {
        ++failures;
      }
    }
  };
  std::thread first(work);
  std::thread second(work);
  first.join();
  second.join();

  EXPECT_EQ(failures.load(), 0);
  const std::vector<torvek::sim::Received> received = server.Log();
  const std::vector<torvek::sim::Sent> sent = server.SentLog();
  ASSERT_EQ(server.CommandCount(), 2u * kCallsPerThread);
  ASSERT_EQ(sent.size(), 2u * kCallsPerThread);
  // Every read of the device's input after the first comes after the reply to the command
  // before it.
  std::size_t replies_before = 0;
  std::string gathered;
  for (const torvek::sim::Received& read : received) {
    while (replies_before < sent.size() && sent[replies_before].when < read.when) {
      ++replies_before;
    }
    gathered += read.bytes;
    const std::size_t commands_so_far = gathered.size() / 3;
    EXPECT_LE(commands_so_far, replies_before + 1)
        << "two commands reached the device without a reply between them";
  }
}

}  // namespace
