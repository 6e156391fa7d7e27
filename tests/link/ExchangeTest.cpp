// The command transaction against a device on a pseudo-terminal: exact bytes out, one line
// back, bounded waits, and nothing left behind.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"
#include "InternalConnect.h"
#include "ProcessCounters.h"
#include "link/AttenuatorHandlerImpl.h"

namespace {

using torvek::sim::Action;
using torvek::sim::Chunk;
using namespace std::chrono_literals;
using torvek::test::MillisecondsOf;

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(torvek::test::ConnectScripted(impl, script, server)); }

  void TearDown() override { torvek::test::ExpectScriptFinished(script); }

  torvek::sim::ScriptedResponder script;
  torvek::sim::DeviceServer server{script};
  TORVEK::AttenuatorHandlerImpl impl;
};

TEST_F(ExchangeTest, WritesTheCommandAloneAndReturnsTheLineWithItsTerminator) {
  script.Expect("0gs", Action::Reply("0GS1F\r\n"));
  std::string reply;
  EXPECT_EQ(impl.Exchange("0gs", reply, 500), TORVEK::Ok);
  EXPECT_EQ(reply, "0GS1F\r\n");
  EXPECT_EQ(server.AllReceived(), std::string("\x30\x67\x73", 3));
}

TEST_F(ExchangeTest, BytesBehindTheTerminatorNeverReachTheCaller) {
  script.Expect("0gs", Action::Reply("0GS1F\r\n0GS02\r\n"));
  script.Expect("0gs", Action::Reply("0GS03\r\n"));
  std::string reply;
  EXPECT_EQ(impl.Exchange("0gs", reply, 500), TORVEK::Ok);
  EXPECT_EQ(reply, "0GS1F\r\n");
  EXPECT_EQ(impl.Exchange("0gs", reply, 500), TORVEK::Ok);
  EXPECT_EQ(reply, "0GS03\r\n");
}

TEST_F(ExchangeTest, AReplyInFragmentsIsOneLine) {
  script.Expect("0gs",
                Action::Fragments({Chunk{0us, "0GS"}, Chunk{20ms, "1F\r"}, Chunk{20ms, "\n"}}));
  std::string reply;
  EXPECT_EQ(impl.Exchange("0gs", reply, 1000), TORVEK::Ok);
  EXPECT_EQ(reply, "0GS1F\r\n");
}

TEST_F(ExchangeTest, ALoneCarriageReturnOrLineFeedDoesNotEndTheLine) {
  script.Expect("0gs", Action::Reply("0G\rS\n1F\r\n"));
  std::string reply;
  EXPECT_EQ(impl.Exchange("0gs", reply, 500), TORVEK::Ok);
  EXPECT_EQ(reply, "0G\rS\n1F\r\n");
}

TEST_F(ExchangeTest, ALongLineIsGatheredWhole) {
  const std::string line = std::string(5000, 'x') + "\r\n";
  script.Expect("0gs", Action::Reply(line));
  std::string reply;
  EXPECT_EQ(impl.Exchange("0gs", reply, 5000), TORVEK::Ok);
  EXPECT_EQ(reply, line);
}

TEST_F(ExchangeTest, ASilentDeviceTimesOutOnTimeAndLeavesNoThreadBehind) {
  script.Expect("0gs", Action::Silence());
  const std::size_t threads_before = torvek::sim::ThreadCount();
  const std::size_t descriptors_before = torvek::sim::DescriptorCount();
  std::string reply = "untouched";
  int result = 0;
  const double elapsed = MillisecondsOf([&] { result = impl.Exchange("0gs", reply, 100); });
  EXPECT_EQ(result, TORVEK::ReplyTimeout);
  EXPECT_EQ(reply, "untouched");
  EXPECT_GE(elapsed, 100.0);
  EXPECT_LT(elapsed, 200.0);
  EXPECT_EQ(torvek::sim::ThreadCount(), threads_before);
  EXPECT_EQ(torvek::sim::DescriptorCount(), descriptors_before);
}

TEST_F(ExchangeTest, ALineWithoutItsLineFeedTimesOut) {
  script.Expect("0gs", Action::Reply("0GS1F\r"));
  std::string reply = "untouched";
  EXPECT_EQ(impl.Exchange("0gs", reply, 50), TORVEK::ReplyTimeout);
  EXPECT_EQ(reply, "untouched");
}

TEST_F(ExchangeTest, ThePortWorksAfterATimeout) {
  script.Expect("0gs", Action::Silence());
  script.Expect("0gs", Action::Reply("0GS00\r\n"));
  std::string reply;
  EXPECT_EQ(impl.Exchange("0gs", reply, 30), TORVEK::ReplyTimeout);
  EXPECT_EQ(impl.Exchange("0gs", reply, 500), TORVEK::Ok);
  EXPECT_EQ(reply, "0GS00\r\n");
}

TEST_F(ExchangeTest, ZeroAndNegativeTimeoutsDoNotWait) {
  // The quickest of three tries: a busy machine can stall any one call, but a call that
  // waits for the silent device would wait every time.
  for (const int timeout_ms : {0, -5}) {
    double quickest = 1e9;
    for (int attempt = 0; attempt < 3; ++attempt) {
      script.Expect("0gs", Action::Silence());
      std::string reply = "untouched";
      int result = 0;
      quickest = std::min(
          quickest, MillisecondsOf([&] { result = impl.Exchange("0gs", reply, timeout_ms); }));
      EXPECT_EQ(result, TORVEK::ReplyTimeout);
      EXPECT_EQ(reply, "untouched");
    }
    EXPECT_LT(quickest, 20.0) << "time-out " << timeout_ms;
  }
  ASSERT_TRUE(server.WaitForCommands(6, 1s));
  EXPECT_EQ(server.AllReceived(), "0gs0gs0gs0gs0gs0gs");
}

TEST_F(ExchangeTest, ALateReplyIsDroppedNotTakenForTheNextAnswer) {
  script.Expect("0gs", Action::Late("0GS05\r\n", 80ms));
  std::string reply;
  EXPECT_EQ(impl.Exchange("0gs", reply, 20), TORVEK::ReplyTimeout);
  std::this_thread::sleep_for(150ms);  // the late line is now waiting in the port's input
  script.Expect("0gs", Action::Reply("0GS07\r\n"));
  EXPECT_EQ(impl.Exchange("0gs", reply, 500), TORVEK::Ok);
  EXPECT_EQ(reply, "0GS07\r\n");
}

// Time-outs right at the edge of the reply, so that it sometimes makes it and sometimes not:
// either way the next transaction must get its own answer, whole.
TEST_F(ExchangeTest, ATimeOutAtTheEdgeOfTheReplyNeverDisturbsTheNext) {
  for (int round = 0; round < 100; ++round) {
    script.Expect("0gs", Action::Late("0GS01\r\n", std::chrono::milliseconds(round % 3)));
    script.Expect("0gp", Action::Reply("0PO00000010\r\n"));
    const std::size_t replies_before = server.SentLog().size();
    std::string reply;
    const int first = impl.Exchange("0gs", reply, 1);
    ASSERT_TRUE(first == TORVEK::Ok || first == TORVEK::ReplyTimeout) << first;
    // A late line that arrives after the next command has gone out cannot be told from its
    // answer by anyone; what matters here is the edge, so let the line land first.
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    while (server.SentLog().size() == replies_before &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(5ms);
    std::string second;
    ASSERT_EQ(impl.Exchange("0gp", second, 1000), TORVEK::Ok) << "round " << round;
    ASSERT_EQ(second, "0PO00000010\r\n") << "round " << round;
  }
}

TEST_F(ExchangeTest, WithoutAPortNothingIsWritten) {
  impl.Disconnect();
  std::string reply = "untouched";
  EXPECT_EQ(impl.Exchange("0gs", reply, 100), TORVEK::PortUnavailable);
  EXPECT_EQ(reply, "untouched");

  TORVEK::AttenuatorHandlerImpl never_connected;
  EXPECT_EQ(never_connected.Exchange("0gs", reply, 100), TORVEK::PortUnavailable);
  EXPECT_EQ(reply, "untouched");
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(server.AllReceived(), "");
}

TEST_F(ExchangeTest, AHungUpDeviceMakesTheWriteFail) {
  server.HangUp();
  std::string reply = "untouched";
  EXPECT_EQ(impl.Exchange("0gs", reply, 100), TORVEK::PortUnavailable);
  EXPECT_EQ(reply, "untouched");
}

TEST_F(ExchangeTest, AReadThatFailsMidLineIsAPortGoneAndClosesIt) {
  // The hang-up comes a little after the bytes, so that they are read before it.
  Action cut = Action::Fragments({Chunk{0us, "0GS1"}, Chunk{30ms, ""}});
  cut.hang_up = true;
  script.Expect("0gs", cut);
  std::string reply = "untouched";
  EXPECT_EQ(impl.Exchange("0gs", reply, 1000), TORVEK::PortUnavailable);
  EXPECT_EQ(reply, "untouched");
  EXPECT_EQ(impl.port, nullptr);
}

}  // namespace
