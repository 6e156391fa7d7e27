// Cancel: the host cuts short the wait of the call in progress, from another thread or from a
// signal handler. A Cancel made while a call waits always ends it with ReplyTimeout; one made
// between calls, or one that lands as its call returns, never reaches the next call. (Every
// operation's outcome under a Cancel is a row of the fault suite.)
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"

namespace {

using attsim::Action;
using namespace std::chrono_literals;
using torvek_test::MillisecondsOf;

// Far longer than any wait a Cancel leaves: a call that returns sooner was cut short.
constexpr int kLongTimeoutMs = 20000;

class CancelTest : public torvek_test::ConnectedDevice {
 protected:
  // Waits until the device has received `count` commands since the connection.
  void AwaitCommands(std::size_t count) { ASSERT_TRUE(server.WaitForCommands(count, 10s)); }

  // A call of its own reply, which only a stale Cancel could turn into ReplyTimeout.
  void ExpectOwnReply(int steps) {
    Expect("0gp", attsim::PositionFrame(steps));
    int read = 0;
    EXPECT_EQ(handler.GetMotorSteps(&read, 2000), TORVEK::Ok);
    EXPECT_EQ(read, steps);
  }

  static void Spin(std::chrono::microseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
    }
  }

  std::mt19937 random{20261208};
};

// Around the edges of the wait: the Cancel lands at random moments from just before the
// command reaches the device to well into the wait. Every one must end its call, and the call
// after it must get its own reply.
TEST_F(CancelTest, EveryCancelDuringAWaitEndsItAndNoneReachesTheNextCall) {
  std::uniform_int_distribution<int> spin_us(0, 300);
  for (int i = 0; i < 150; ++i) {
    SCOPED_TRACE(i);
    Expect("0gs", Action::Silence());
    const std::size_t before = server.CommandCount();
    const int delay = spin_us(random);
    std::thread canceller([&] {
      AwaitCommands(before + 1);
      Spin(std::chrono::microseconds(delay));
      handler.Cancel();
    });
    int result = 0;
    const double elapsed =
        MillisecondsOf([&] { result = handler.GetCurrentStatus(kLongTimeoutMs); });
    canceller.join();
    ASSERT_EQ(result, TORVEK::ReplyTimeout);
    ASSERT_LT(elapsed, kLongTimeoutMs / 2);
    ExpectOwnReply(i);
  }
}

// A Cancel that races its call's reply ends the call or loses the race, never the call after.
TEST_F(CancelTest, ACancelRacingTheReplyNeverReachesTheNextCall) {
  std::uniform_int_distribution<int> reply_us(0, 1500);
  std::uniform_int_distribution<int> cancel_us(0, 1500);
  int cut_short = 0;
  for (int i = 0; i < 150; ++i) {
    SCOPED_TRACE(i);
    Expect("0gs", Action::Fragments({{std::chrono::microseconds(reply_us(random)), "0GS00\r\n"}}));
    const std::size_t commands = server.CommandCount();
    const std::size_t sent = server.SentLog().size();
    const int delay = cancel_us(random);
    std::thread canceller([&] {
      AwaitCommands(commands + 1);
      Spin(std::chrono::microseconds(delay));
      handler.Cancel();
    });
    const int result = handler.GetCurrentStatus(kLongTimeoutMs);
    canceller.join();
    ASSERT_TRUE(result == TORVEK::Ok || result == TORVEK::ReplyTimeout) << result;
    cut_short += result == TORVEK::ReplyTimeout ? 1 : 0;
    // The reply of a call cut short is on the line before the next command: its purge takes it.
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (server.SentLog().size() <= sent && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(100us);
    }
    ExpectOwnReply(i);
  }
  EXPECT_GT(cut_short, 0) << "no Cancel came before its reply: the race was never run";
}

TORVEK::AttenuatorHandler* signalled_handler = nullptr;

extern "C" void CancelOnSignal(int) {
  signalled_handler->Cancel();
}

// A Ctrl-C handler of the host cancels the call its thread is waiting in.
TEST_F(CancelTest, ASignalHandlerCancelsTheWaitOfItsThread) {
  struct sigaction on_signal {};
  on_signal.sa_handler = CancelOnSignal;
  sigemptyset(&on_signal.sa_mask);  // no SA_RESTART: the wait really is interrupted
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGUSR2, &on_signal, &before), 0);
  signalled_handler = &handler;
  const pthread_t caller = ::pthread_self();

  Expect("0ma00008C00", Action::Silence());
  std::thread interrupter([&] {
    AwaitCommands(1);
    ::pthread_kill(caller, SIGUSR2);
  });
  int result = 0;
  const double elapsed =
      MillisecondsOf([&] { result = handler.SetMotorDegree(90, kLongTimeoutMs); });
  interrupter.join();
  ::sigaction(SIGUSR2, &before, nullptr);
  EXPECT_EQ(result, TORVEK::ReplyTimeout);
  EXPECT_LT(elapsed, kLongTimeoutMs / 2);
  ExpectOwnReply(7);
}

// Connect waits too (its pause, the identification): cut short, it leaves no port open, and
// a later Connect works.
TEST_F(CancelTest, ACancelledConnectLeavesNoPortOpen) {
  handler.Disconnect();
  const std::size_t commands = server.CommandCount();
  std::atomic<bool> connecting{true};
  std::thread canceller([&] {
    while (connecting) {
      handler.Cancel();
      std::this_thread::sleep_for(1ms);
    }
  });
  EXPECT_FALSE(handler.Connect(server.Path()));
  connecting = false;
  canceller.join();
  EXPECT_EQ(server.CommandCount(), commands) << "the pause was not cut short";
  EXPECT_EQ(handler.GetCurrentStatus(0), TORVEK::PortUnavailable);
  ASSERT_TRUE(ConnectWith(torvek_test::kDefaultIdentification));
  ExpectOwnReply(3);
}

TEST_F(CancelTest, HarmlessWithoutAPortAndBetweenCalls) {
  TORVEK::AttenuatorHandler never_connected;
  never_connected.Cancel();
  EXPECT_EQ(never_connected.GetCurrentStatus(0), TORVEK::PortUnavailable);
  handler.Cancel();
  ExpectOwnReply(1);
  handler.Disconnect();
  handler.Cancel();
  ASSERT_TRUE(ConnectWith(torvek_test::kDefaultIdentification));
  ExpectOwnReply(2);
}

// Another thread cancels without pause while this one connects, calls and disconnects: no
// crash, no race (the sanitizer builds run this too), and the handler works afterwards.
TEST(CancelRaces, ConnectAndDisconnectOnAnotherThread) {
  attsim::FunctionResponder device([](const std::string& command) {
    return Action::Reply(command == "0in" ? torvek_test::kDefaultIdentification : "0GS00\r\n");
  });
  attsim::DeviceServer server(device);
  TORVEK::AttenuatorHandler handler;
  std::atomic<bool> running{true};
  std::thread canceller([&] {
    while (running) {
      handler.Cancel();
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 10; ++i) {
    (void)handler.Connect(server.Path());
    (void)handler.GetCurrentStatus(50);
    handler.Disconnect();
  }
  running = false;
  canceller.join();
  bool connected = false;
  for (int attempt = 0; attempt < 3 && !connected; ++attempt) {
    connected = handler.Connect(server.Path());
  }
  ASSERT_TRUE(connected);
  EXPECT_EQ(handler.GetCurrentStatus(2000), TORVEK::Ok);
}

}  // namespace
