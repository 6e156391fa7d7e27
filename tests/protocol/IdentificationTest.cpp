// The identification on connect: which devices are accepted, and the scale they set.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"
#include "InternalConnect.h"
#include "link/AttenuatorHandlerImpl.h"

namespace {

using torvek::sim::Action;
using namespace std::chrono_literals;
using torvek::test::MillisecondsOf;

// An identification frame that reports `degrees` and `pulses` per revolution (hex fields).
std::string IdentificationFrame(const std::string& degrees_hex, const std::string& pulses_hex) {
  return "0IN0E1234ABCD01020304" + degrees_hex + pulses_hex + "\r\n";
}

class Identification : public ::testing::Test {
 protected:
  void TearDown() override { torvek::test::ExpectScriptFinished(script); }

  // Connects to a device that answers "0in" with `action`.
  bool ConnectAnswering(Action action) {
    script.Expect("0in", std::move(action));
    return TORVEK::ConnectOnce(impl, server.Path());
  }

  // The scale stays at its construction values after a refused device.
  void ExpectInitialScale() {
    EXPECT_EQ(impl.degrees_per_revolution, 360);
    EXPECT_EQ(impl.pulses_per_revolution, 143360);
    EXPECT_EQ(impl.degrees_per_pulse, 0.00251116);
    EXPECT_EQ(impl.pulses_per_degree, 143360.0 / 360.0);
  }

  void ExpectRefusedAndClosed() {
    EXPECT_EQ(impl.port, nullptr);
    EXPECT_TRUE(server.WaitForPeerClose(1s)) << "the refused device's port is still open";
    ExpectInitialScale();
  }

  torvek::sim::ScriptedResponder script;
  torvek::sim::DeviceServer server{script};
  TORVEK::AttenuatorHandlerImpl impl;
};

TEST_F(Identification, TheDefaultDeviceSetsTheExactScale) {
  ASSERT_TRUE(ConnectAnswering(Action::Reply(IdentificationFrame("0168", "00023000"))));
  EXPECT_EQ(impl.degrees_per_revolution, 360);
  EXPECT_EQ(impl.pulses_per_revolution, 143360);
  EXPECT_EQ(impl.pulses_per_degree, 398.22222222222223);
  EXPECT_EQ(impl.degrees_per_pulse, 0.0025111607142857145);
  EXPECT_EQ(server.AllReceived(), "0in");
}

TEST_F(Identification, AHalfRevolutionDeviceDoublesTheStepsPerDegree) {
  ASSERT_TRUE(ConnectAnswering(Action::Reply(IdentificationFrame("00B4", "00023000"))));
  EXPECT_EQ(impl.degrees_per_revolution, 180);
  EXPECT_EQ(impl.pulses_per_degree, 796.4444444444445);
}

TEST_F(Identification, ConnectWaitsTheFixedPauseBeforeAsking) {
  script.Expect("0in", Action::Reply(IdentificationFrame("0168", "00023000")));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(TORVEK::ConnectOnce(impl, server.Path()));
  const std::vector<torvek::sim::Received> log = server.Log();
  ASSERT_FALSE(log.empty());
  EXPECT_GE(log.front().when - start, 100ms);
}

TEST_F(Identification, WhatTheDeviceSaysDuringThePauseIsNotTakenForItsAnswer) {
  script.Expect("0in", Action::Reply(IdentificationFrame("0168", "00023000")));
  bool connected = false;
  std::thread connecting([&] { connected = TORVEK::ConnectOnce(impl, server.Path()); });
  std::this_thread::sleep_for(40ms);
  server.SendUnsolicited("0GS05\r\n");
  connecting.join();
  EXPECT_TRUE(connected);
}

TEST_F(Identification, ASilentDeviceIsRefusedAfterAboutTwoHundredMilliseconds) {
  script.Expect("0in", Action::Silence());
  TORVEK::ConnectResult result = TORVEK::ConnectResult::Connected;
  const double elapsed =
      MillisecondsOf([&] { result = TORVEK::operations::Connect(impl, server.Path(), 1); });
  EXPECT_EQ(result, TORVEK::ConnectResult::NoIdentification);
  EXPECT_GE(elapsed, 200.0);
  EXPECT_LT(elapsed, 340.0);
  ExpectRefusedAndClosed();
}

// Each way a device can fail to identify itself, with the reason Connect gives for it.
TEST_F(Identification, EachRefusalHasItsReasonAndClosesThePort) {
  using TORVEK::ConnectResult;
  const struct {
    const char* name;
    std::string reply;
    ConnectResult result;
  } cases[] = {
      {"another frame", "0PO00000000\r\n", ConnectResult::BadIdentification},
      {"a device status", "0GS05\r\n", ConnectResult::BadIdentification},
      {"a status of zero", "0GS00\r\n", ConnectResult::BadIdentification},
      {"an unreadable number", IdentificationFrame("0168", "ZZZZZZZZ"),
       ConnectResult::BadIdentification},
      {"zero degrees per revolution", IdentificationFrame("0000", "00023000"),
       ConnectResult::BadIdentification},
      {"a negative number of steps", IdentificationFrame("0168", "FFFFFFFF"),
       ConnectResult::BadIdentification},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script.Expect("0in", Action::Reply(c.reply));
    EXPECT_EQ(TORVEK::operations::Connect(impl, server.Path(), 1), c.result);
    ExpectRefusedAndClosed();
  }
}

// A missed window is tried again, with the port opened anew; a refusal is tried as often.
TEST_F(Identification, AttemptsAreMadeWhileTheIdentificationFails) {
  script.Expect("0in", Action::Silence());
  script.Expect("0in", Action::Reply(IdentificationFrame("0168", "00023000")));
  EXPECT_EQ(TORVEK::operations::Connect(impl, server.Path(), 3), TORVEK::ConnectResult::Connected);
  EXPECT_EQ(server.AllReceived(), "0in0in");
  server.ClearLog();
  for (int i = 0; i < 2; ++i) {
    script.Expect("0in", Action::Reply("0GS05\r\n"));
  }
  EXPECT_EQ(TORVEK::operations::Connect(impl, server.Path(), 2),
            TORVEK::ConnectResult::BadIdentification);
  EXPECT_EQ(server.AllReceived(), "0in0in");
  EXPECT_EQ(impl.port, nullptr);
}

TEST_F(Identification, ARefusedDeviceKeepsTheScaleOfTheLastGoodOne) {
  ASSERT_TRUE(ConnectAnswering(Action::Reply(IdentificationFrame("02D0", "00023000"))));
  EXPECT_EQ(impl.pulses_per_degree, 143360.0 / 720.0);
  EXPECT_FALSE(ConnectAnswering(Action::Reply(IdentificationFrame("0000", "00023000"))));
  EXPECT_EQ(impl.port, nullptr);
  EXPECT_EQ(impl.degrees_per_revolution, 720);
  EXPECT_EQ(impl.pulses_per_degree, 143360.0 / 720.0);
}

// Hosts reconnect after unplugging: until then, the scale of the last identified device holds.
TEST_F(Identification, DisconnectKeepsTheScaleOfTheIdentifiedDevice) {
  ASSERT_TRUE(ConnectAnswering(Action::Reply(IdentificationFrame("00B4", "00023000"))));
  impl.Disconnect();
  EXPECT_EQ(impl.port, nullptr);
  EXPECT_EQ(impl.degrees_per_revolution, 180);
  EXPECT_EQ(impl.pulses_per_revolution, 143360);
  EXPECT_EQ(impl.degrees_per_pulse, 180.0 / 143360.0);
  EXPECT_EQ(impl.pulses_per_degree, 796.4444444444445);
}

}  // namespace
