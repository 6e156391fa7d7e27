// Reply shapes and record writes end to end that the other suites reach only without a port.
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"

namespace {

using torvek::test::ConnectedDevice;

using ReplyShapes = ConnectedDevice;

// A status frame of code 0 answers "0in" with Ok but carries no record: the identification
// members stay, the home offset is written all the same.
TEST_F(ReplyShapes, AZeroStatusInPlaceOfTheRecordKeepsItsMembers) {
  Expect("0in", "0GS00\r\n");
  Expect("0go", "0HO00000010\r\n");
  TORVEK::MotorInfo info;
  info.ident_a = "earlier";
  info.pulses_per_revolution_text = "earlier";
  EXPECT_EQ(handler.GetMotorInfo(&info, 1000), TORVEK::Ok);
  EXPECT_EQ(info.ident_a, "earlier");
  EXPECT_EQ(info.pulses_per_revolution_text, "earlier");
  EXPECT_EQ(info.ident_b, "");
  EXPECT_EQ(info.home_offset_text, "0.040179");
  EXPECT_EQ(Wire(), "0in0go");
}

// With 128 steps per degree an odd number of steps is an offset whose seventh decimal is
// exactly 5: the text rounds it to even, as printf's %f does, never always up.
TEST_F(ReplyShapes, HalfwayHomeOffsetsRoundToEven) {
  ASSERT_TRUE(ConnectWith("0IN0E1234ABCD01020304000100000080\r\n"));  // 1 degree, 128 steps
  const std::pair<int, const char*> cases[] = {
      {1, "0.007812"},   {3, "0.023438"},   {5, "0.039062"},
      {-1, "-0.007812"}, {-3, "-0.023438"}, {1000001, "7812.507812"},
  };
  for (const auto& [steps, text] : cases) {
    Expect("0in", torvek::test::kDefaultIdentification);
    Expect("0go", torvek::sim::HomeOffsetFrame(steps));
    TORVEK::MotorInfo info;
    EXPECT_EQ(handler.GetMotorInfo(&info, 1000), TORVEK::Ok);
    EXPECT_EQ(info.home_offset_text, text) << steps;
  }
}

// The address character of a reply is never examined, in the identification on connect too.
TEST_F(ReplyShapes, AnyAddressCharacterIsAccepted) {
  ASSERT_TRUE(ConnectWith("7IN0E1234ABCD0102030400B400023000\r\n"));  // 180 degrees
  Expect("0ma00004600", "3PO00004600\r\n");
  Expect("0gp", "9PO00008C00\r\n");
  Expect("0st", "5GS0B\r\n");
  EXPECT_EQ(handler.SetMotorDegree(22.5f, 500), TORVEK::Ok);
  float degrees = 0.0f;
  EXPECT_EQ(handler.GetMotorDegree(&degrees, 500), TORVEK::Ok);
  EXPECT_EQ(degrees, 45.0f);
  EXPECT_EQ(handler.Stop(500), 11);
}

}  // namespace
