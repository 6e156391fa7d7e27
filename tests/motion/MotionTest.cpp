// Moves, positions and their units, end to end: the exact command on the wire and the value
// the caller gets back.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"

namespace {

using torvek::sim::Action;
using namespace std::chrono_literals;
using torvek::test::ConnectedDevice;

// The position frame a device sends for `steps`.
std::string Position(std::int32_t steps) {
  return torvek::sim::PositionFrame(steps);
}

using Motion = ConnectedDevice;

struct StepsCase {
  int steps;
  const char* command;
};

TEST_F(Motion, StepTargetsGoOutAsEightUpperCaseDigits) {
  const StepsCase cases[] = {
      {0, "0ma00000000"},       {398, "0ma0000018E"}, {35840, "0ma00008C00"},
      {143360, "0ma00023000"},  {-1, "0maFFFFFFFF"},  {-35840, "0maFFFF7400"},
      {-143360, "0maFFFDD000"},
  };
  for (const StepsCase& c : cases) {
    server.ClearLog();
    Expect(c.command, Position(c.steps));
    EXPECT_EQ(handler.SetMotorSteps(c.steps, 500), TORVEK::Ok);
    EXPECT_EQ(Wire(), c.command);
  }
}

struct DegreesCase {
  float degrees;
  const char* command;
  std::int32_t steps;
  float read_back;
};

// Degrees become steps by truncation toward zero; the same steps read back as degrees.
TEST_F(Motion, DegreeTargetsAndTheirReadBack) {
  const DegreesCase cases[] = {
      {0.0f, "0ma00000000", 0, 0.0f},
      {0.001f, "0ma00000000", 0, 0.0f},
      {-0.001f, "0ma00000000", 0, 0.0f},
      {1.0f, "0ma0000018E", 398, 0.999441981f},
      {10.5f, "0ma00001055", 4181, 10.4991627f},
      {90.0f, "0ma00008C00", 35840, 90.0f},
      {300.0f, "0ma0001D2AA", 119466, 299.998322f},
      {359.999f, "0ma00022FFF", 143359, 359.997498f},
      {-90.0f, "0maFFFF7400", -35840, -90.0f},
      {-359.999f, "0maFFFDD001", -143359, -359.997498f},
  };
  for (const DegreesCase& c : cases) {
    server.ClearLog();
    Expect(c.command, Position(c.steps));
    Expect("0gp", Position(c.steps));
    EXPECT_EQ(handler.SetMotorDegree(c.degrees, 500), TORVEK::Ok);
    float read_back = -1000.0f;
    EXPECT_EQ(handler.GetMotorDegree(&read_back, 500), TORVEK::Ok);
    EXPECT_EQ(read_back, c.read_back) << c.degrees;
    EXPECT_EQ(Wire(), std::string(c.command) + "0gp") << c.degrees;
  }
}

TEST_F(Motion, BoundsAreFixedAndRejectedTargetsSendNothing) {
  EXPECT_EQ(handler.SetMotorSteps(143361, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetMotorSteps(-143361, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetMotorDegree(360.0f, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetMotorDegree(-360.0f, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetMotorDegree(std::nanf(""), 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetMotorDegree(std::numeric_limits<float>::infinity(), 500),
            TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetMotorDegree(-std::numeric_limits<float>::infinity(), 500),
            TORVEK::InvalidArgument);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Wire(), "");
}

TEST_F(Motion, AllFFReadsBackAsMinusOneStep) {
  Expect("0gp", "0POFFFFFFFF\r\n");
  Expect("0gp", "0POFFFFFFFF\r\n");
  int steps = 0;
  float degrees = 0.0f;
  EXPECT_EQ(handler.GetMotorSteps(&steps, 500), TORVEK::Ok);
  EXPECT_EQ(handler.GetMotorDegree(&degrees, 500), TORVEK::Ok);
  EXPECT_EQ(steps, -1);
  EXPECT_EQ(degrees, -0.00251116068f);
}

TEST_F(Motion, AStatusInPlaceOfThePositionLeavesTheOutputAlone) {
  const char* const replies[] = {"0GS05\r\n", "0GS00\r\n", "garbage\r\n"};
  const int results[] = {5, TORVEK::Ok, TORVEK::UnexpectedReply};
  for (int i = 0; i < 3; ++i) {
    Expect("0gp", replies[i]);
    Expect("0gp", replies[i]);
    Expect("0ma00008C00", replies[i]);
    Expect("0ho0", replies[i]);
    int steps = 11;
    float degrees = 11.0f;
    EXPECT_EQ(handler.GetMotorSteps(&steps, 500), results[i]);
    EXPECT_EQ(handler.GetMotorDegree(&degrees, 500), results[i]);
    EXPECT_EQ(handler.SetMotorSteps(35840, 500), results[i]);
    EXPECT_EQ(handler.MechanicalCalibration(500), results[i]);
    EXPECT_EQ(steps, 11);
    EXPECT_EQ(degrees, 11.0f);
  }
}

TEST_F(Motion, ATimeOutLeavesTheOutputAlone) {
  Expect("0gp", Action::Silence());
  int steps = 11;
  EXPECT_EQ(handler.GetMotorSteps(&steps, 30), TORVEK::ReplyTimeout);
  EXPECT_EQ(steps, 11);
}

TEST_F(Motion, NullOutputsAreAccepted) {
  Expect("0gp", Position(5));
  Expect("0gp", Position(5));
  EXPECT_EQ(handler.GetMotorSteps(nullptr, 500), TORVEK::Ok);
  EXPECT_EQ(handler.GetMotorDegree(nullptr, 500), TORVEK::Ok);
}

TEST_F(Motion, HomingOptimisingCleaningAndStopping) {
  Expect("0ho0", Position(0));
  Expect("0om", "0GS00\r\n");
  Expect("0cm", "0GS09\r\n");
  Expect("0st", "0GS0A\r\n");
  EXPECT_EQ(handler.MechanicalCalibration(500), TORVEK::Ok);
  EXPECT_EQ(handler.StartOptimization(500), TORVEK::Ok);
  EXPECT_EQ(handler.StartCleaningMechanics(500), 9);
  EXPECT_EQ(handler.Stop(500), 10);
  EXPECT_EQ(Wire(), "0ho00om0cm0st");
}

TEST_F(Motion, OperationsThatExpectAStatusRefuseAPosition) {
  Expect("0om", Position(0));
  EXPECT_EQ(handler.StartOptimization(500), TORVEK::UnexpectedReply);
}

// A stop that cuts a motion short is answered by the motion's reply (a move's position, a run's
// status), then by its own status: the first is passed over within the stop's time-out.
TEST_F(Motion, AStopTakesItsStatusAfterTheMotionsReply) {
  Expect("0st", Position(1234) + "0GS00\r\n");
  EXPECT_EQ(handler.Stop(500), TORVEK::Ok);
  Expect("0st", torvek::sim::Action::Fragments({torvek::sim::Chunk{0us, Position(99)},
                                                torvek::sim::Chunk{30ms, "0GS07\r\n"}}));
  EXPECT_EQ(handler.Stop(500), 7);
  Expect("0st", Position(5));
  EXPECT_EQ(handler.Stop(50), TORVEK::ReplyTimeout);
  for (const char* run : {"0om", "0cm"}) {
    Expect(run, Action::Silence());
    EXPECT_EQ(run == std::string("0om") ? handler.StartOptimization(30)
                                        : handler.StartCleaningMechanics(30),
              TORVEK::ReplyTimeout);
    Expect("0st", "0GS00\r\n0GS07\r\n");
    EXPECT_EQ(handler.Stop(500), 7) << run;
  }
  // A run whose reply was lost: the one status frame is the stop's, and a stop that may wait
  // for ever does not.
  Expect("0om", Action::Silence());
  EXPECT_EQ(handler.StartOptimization(30), TORVEK::ReplyTimeout);
  Expect("0st", "0GS07\r\n");
  EXPECT_EQ(handler.Stop(std::numeric_limits<int>::max()), 7);
  // Without a run cut short, the first status frame is the stop's.
  Expect("0st", "0GS00\r\n0GS07\r\n");
  EXPECT_EQ(handler.Stop(500), TORVEK::Ok);
  EXPECT_EQ(Wire(), "0st0st0st0om0st0cm0st0om0st0st");
}

TEST_F(Motion, TheDevicesScaleChangesTheStepsButNotTheBounds) {
  ASSERT_TRUE(ConnectWith("0IN0E1234ABCD0102030402D000023000\r\n"));  // 720 degrees
  Expect("0ma00004600", Position(17920));
  Expect("0ma000117D8", Position(71640));
  Expect("0ma00023000", Position(143360));
  EXPECT_EQ(handler.SetMotorDegree(90.0f, 500), TORVEK::Ok);
  EXPECT_EQ(handler.SetMotorDegree(359.8f, 500), TORVEK::Ok);
  EXPECT_EQ(handler.SetMotorDegree(360.0f, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetMotorSteps(143360, 500), TORVEK::Ok);
  EXPECT_EQ(handler.SetMotorSteps(143361, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(Wire(), "0ma000046000ma000117D80ma00023000");
  // The conversion a host can make without a device gives the same steps at that scale.
  std::int32_t steps = 0;
  EXPECT_EQ(TORVEK::DegreesToSteps(359.8f, 720, 143360, &steps), TORVEK::Ok);
  EXPECT_EQ(steps, 71640);
  float degrees = 0.0f;
  EXPECT_EQ(TORVEK::StepsToDegrees(71640, 720, 143360, &degrees), TORVEK::Ok);
  EXPECT_EQ(degrees, 359.799103f);
  EXPECT_EQ(TORVEK::DegreesToSteps(360.0f, 720, 143360, &steps), TORVEK::InvalidArgument);
  EXPECT_EQ(TORVEK::DegreesToSteps(1.0f, 0, 143360, &steps), TORVEK::InvalidArgument);
  EXPECT_EQ(TORVEK::StepsToDegrees(1, 720, -1, &degrees), TORVEK::InvalidArgument);
  EXPECT_EQ(steps, 71640);
}

TEST_F(Motion, ATargetBeyondThirtyTwoBitsIsRefused) {
  // One degree per revolution of 0x7FFFFFFF steps: two degrees do not fit in 32 bits.
  ASSERT_TRUE(ConnectWith("0IN0E1234ABCD0102030400017FFFFFFF\r\n"));
  EXPECT_EQ(handler.SetMotorDegree(2.0f, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetMotorDegree(-2.0f, 500), TORVEK::InvalidArgument);
  std::int32_t steps = 5;
  EXPECT_EQ(TORVEK::DegreesToSteps(2.0f, 1, 0x7FFFFFFF, &steps), TORVEK::InvalidArgument);
  EXPECT_EQ(steps, 5);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Wire(), "");
}

}  // namespace
