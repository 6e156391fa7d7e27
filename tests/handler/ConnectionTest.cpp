// Opening and closing the link through the public class.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"
#include "PseudoTerminal.h"

namespace {

using torvek::sim::Action;
using namespace std::chrono_literals;
using torvek::test::ConnectedDevice;
using torvek::test::MillisecondsOf;

constexpr const char* kMissingPort = "/dev/no-such-attenuator-port";

TEST(Connection, AMissingPortFailsAtOnceWithoutThePause) {
  TORVEK::AttenuatorHandler handler;
  bool connected = true;
  EXPECT_LT(MillisecondsOf([&] { connected = handler.Connect(kMissingPort); }), 90.0);
  EXPECT_FALSE(connected);
  EXPECT_EQ(handler.GetCurrentStatus(100), TORVEK::PortUnavailable);
}

// A port that cannot serve is refused at once, with why; nothing is paused for or sent.
TEST(Connection, APortThatCannotServeIsRefusedAtOnceWithItsReason) {
  using TORVEK::ConnectResult;
  const struct {
    const char* name;
    std::string port;
    ConnectResult result;
  } cases[] = {
      {"no such file", kMissingPort, ConnectResult::NoSuchPort},
      {"a NUL inside the name", std::string("/dev/null\0x", 11), ConnectResult::NoSuchPort},
      {"not a terminal", "/dev/null", ConnectResult::NotASerialPort},
      {"a directory", "/tmp", ConnectResult::NotASerialPort},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TORVEK::AttenuatorHandler handler;
    ConnectResult result = ConnectResult::Connected;
    EXPECT_LT(MillisecondsOf([&] { result = handler.Connect(c.port, 3); }), 90.0);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(handler.CheckPort(), TORVEK::PortUnavailable);
  }
}

TEST(Connection, DisconnectWithoutAPortIsHarmless) {
  TORVEK::AttenuatorHandler handler;
  EXPECT_NO_THROW(handler.Disconnect());
  EXPECT_NO_THROW(handler.Disconnect());
}

TEST(Connection, ANewHandlerAnswersPortUnavailableAfterItsArgumentChecks) {
  TORVEK::AttenuatorHandler handler;
  int steps = 7;
  float degrees = 7.0f;
  float transmittance = 0.7f;
  TORVEK::MotorInfo info;
  EXPECT_EQ(handler.SetMotorSteps(200000, 100), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetMotorSteps(0, 100), TORVEK::PortUnavailable);
  EXPECT_EQ(handler.GetMotorSteps(&steps, 100), TORVEK::PortUnavailable);
  EXPECT_EQ(handler.SetMotorDegree(10.0f, 100), TORVEK::PortUnavailable);
  EXPECT_EQ(handler.GetMotorDegree(&degrees, 100), TORVEK::PortUnavailable);
  EXPECT_EQ(handler.MechanicalCalibration(100), TORVEK::PortUnavailable);
  EXPECT_EQ(handler.StartOptimization(100), TORVEK::PortUnavailable);
  EXPECT_EQ(handler.StartCleaningMechanics(100), TORVEK::PortUnavailable);
  EXPECT_EQ(handler.Stop(100), TORVEK::PortUnavailable);
  EXPECT_EQ(handler.SetTransmittance(0.5f, 0.0, 90.0, 100), TORVEK::PortUnavailable);
  EXPECT_EQ(handler.GetTransmittance(&transmittance, 0.0, 90.0, 100), TORVEK::PortUnavailable);
  EXPECT_EQ(handler.GetMotorInfo(&info, 100), TORVEK::PortUnavailable);
  EXPECT_EQ(steps, 7);
  EXPECT_EQ(degrees, 7.0f);
  EXPECT_EQ(transmittance, 0.7f);
  EXPECT_EQ(info.ident_a, "");
  EXPECT_EQ(info.home_offset_text, "0.000000");
}

using ConnectedHandler = ConnectedDevice;

TEST_F(ConnectedHandler, AFailedConnectToAMissingPortKeepsTheEarlierConnection) {
  EXPECT_FALSE(handler.Connect(kMissingPort));
  Expect("0gs", "0GS00\r\n");
  EXPECT_EQ(handler.GetCurrentStatus(500), TORVEK::Ok);
}

TEST_F(ConnectedHandler, ASecondPortClosesTheFirstOnceItOpens) {
  torvek::sim::ScriptedResponder second_script;
  torvek::sim::DeviceServer second{second_script};
  second_script.Expect("0in", Action::Silence());
  EXPECT_FALSE(handler.Connect(second.Path()));
  EXPECT_TRUE(server.WaitForPeerClose(1s)) << "the first device is still open";
  EXPECT_TRUE(second.WaitForPeerClose(1s)) << "the silent second device was left open";
  EXPECT_EQ(handler.GetCurrentStatus(100), TORVEK::PortUnavailable);
}

TEST_F(ConnectedHandler, AfterDisconnectNothingReachesTheDevice) {
  handler.Disconnect();
  EXPECT_TRUE(server.WaitForPeerClose(1s));
  int steps = 5;
  EXPECT_EQ(handler.GetCurrentStatus(100), TORVEK::PortUnavailable);
  EXPECT_EQ(handler.GetMotorSteps(&steps, 100), TORVEK::PortUnavailable);
  EXPECT_EQ(handler.SetMotorDegree(1.0f, 100), TORVEK::PortUnavailable);
  EXPECT_EQ(steps, 5);
  EXPECT_NO_THROW(handler.Disconnect());
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Wire(), "");
}

TEST_F(ConnectedHandler, DisconnectThenConnectAgainWorks) {
  handler.Disconnect();
  ASSERT_TRUE(server.WaitForPeerClose(1s));
  ASSERT_TRUE(ConnectWith(torvek::test::kDefaultIdentification));
  Expect("0gs", "0GS02\r\n");
  EXPECT_EQ(handler.GetCurrentStatus(500), 2);
}

TEST(Connection, DestroyingAConnectedHandlerClosesThePort) {
  torvek::sim::ScriptedResponder script;
  torvek::sim::DeviceServer server{script};
  script.Expect("0in", Action::Reply(torvek::test::kDefaultIdentification));
  {
    TORVEK::AttenuatorHandler handler;
    ASSERT_TRUE(handler.Connect(server.Path()));
  }
  EXPECT_TRUE(server.WaitForPeerClose(1s));
}

// A line whose far end stops taking bytes (hardware flow control holding the port, a device
// that has locked up with its receive buffer full) lets the commands pile up in the port's
// output until a write can no longer go out. The call must still come back, not hang in the
// write for as long as the line stays stalled.
TEST(Connection, AStalledLineCannotHoldACallInItsWrite) {
  torvek::sim::PseudoTerminal pty;
  std::thread device([&] {
    // Answers the identification, then never reads again.
    std::string heard;
    char chunk[64];
    const auto give_up = std::chrono::steady_clock::now() + 2s;
    while (heard.find("0in") == std::string::npos && std::chrono::steady_clock::now() < give_up) {
      pollfd readable{pty.MasterFd(), POLLIN, 0};
      if (::poll(&readable, 1, 10) > 0) {
        const ssize_t n = ::read(pty.MasterFd(), chunk, sizeof chunk);
        if (n > 0) {
          heard.append(chunk, static_cast<std::size_t>(n));
        }
      }
    }
    const std::string& id = torvek::test::kDefaultIdentification;
    EXPECT_EQ(::write(pty.MasterFd(), id.data(), id.size()), static_cast<ssize_t>(id.size()));
  });
  TORVEK::AttenuatorHandler handler;
  const bool connected = handler.Connect(pty.SlavePath());
  device.join();
  ASSERT_TRUE(connected);

  // Each move is 11 bytes; a few thousand fill any output queue the kernel keeps.
  std::atomic<int> calls{0};
  std::atomic<int> last_result{TORVEK::Ok};
  std::atomic<bool> finished{false};
  // The first refused write may be a short one; the calls after it meet a queue with no room
  // at all, and it is those that must come back too.
  std::thread host([&] {
    int refused = 0;
    for (int i = 0; i < 20000 && refused < 3; ++i) {
      last_result = handler.SetMotorSteps(143360, 0);
      ++calls;
      if (last_result == TORVEK::PortUnavailable) {
        ++refused;
      }
    }
    finished = true;
  });
  // A call that makes no progress for two seconds is stuck; the pty is then closed to free it.
  int seen = -1;
  auto last_progress = std::chrono::steady_clock::now();
  while (!finished && std::chrono::steady_clock::now() - last_progress < 2s) {
    std::this_thread::sleep_for(20ms);
    if (calls != seen) {
      seen = calls;
      last_progress = std::chrono::steady_clock::now();
    }
  }
  const bool stuck = !finished;
  if (stuck) {
    pty.Close();
  }
  host.join();
  EXPECT_FALSE(stuck) << "call " << calls + 1 << " hung in its write while the line was stalled";
  EXPECT_EQ(last_result, TORVEK::PortUnavailable);
}

}  // namespace
