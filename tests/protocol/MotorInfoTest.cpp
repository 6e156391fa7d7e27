// GetMotorInfo and GetCurrentStatus end to end through the public class.
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"
#include "Records.h"

namespace {

using torvek::sim::Action;
using namespace std::chrono_literals;
using torvek::test::ConnectedDevice;
using torvek::test::MillisecondsOf;

using DeviceInfo = ConnectedDevice;

TEST_F(DeviceInfo, CurrentStatusPassesTheDeviceCodeThrough) {
  Expect("0gs", "0GS00\r\n");
  Expect("0gs", "0GS1F\r\n");
  Expect("0gs", "0GSff\r\n");
  Expect("0gs", "0GS5\r\n");
  EXPECT_EQ(handler.GetCurrentStatus(500), TORVEK::Ok);
  EXPECT_EQ(handler.GetCurrentStatus(500), 31);
  EXPECT_EQ(handler.GetCurrentStatus(500), 255);
  EXPECT_EQ(handler.GetCurrentStatus(500), TORVEK::UnexpectedReply);
  EXPECT_EQ(Wire(), "0gs0gs0gs0gs");
}

TEST_F(DeviceInfo, ASilentDeviceGivesReplyTimeoutOnTime) {
  Expect("0gs", Action::Silence());
  int status = 0;
  const double elapsed = MillisecondsOf([&] { status = handler.GetCurrentStatus(80); });
  EXPECT_EQ(status, TORVEK::ReplyTimeout);
  EXPECT_GE(elapsed, 80.0);
  EXPECT_LT(elapsed, 160.0);
}

TEST_F(DeviceInfo, TheRecordAndTheHomeOffsetInDegrees) {
  Expect("0in", torvek::test::kDefaultIdentification);
  Expect("0go", "0HO00000010\r\n");
  TORVEK::MotorInfo info;
  EXPECT_EQ(handler.GetMotorInfo(&info, 1000), TORVEK::Ok);
  EXPECT_EQ(Wire(), "0in0go");
  TORVEK::MotorInfo expected;
  torvek::test::FillDefaultIdentification(expected);
  expected.home_offset_text = "0.040179";
  EXPECT_TRUE(torvek::test::SameInfo(info, expected)) << torvek::test::Describe(info);
}

TEST_F(DeviceInfo, HomeOffsetTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"0HO00000010\r\n", "0.040179"},
      {"0HOFFFFFFF0\r\n", "-0.040179"},
      {"0HO00023000\r\n", "360.000000"},
  };
  for (const auto& [reply, text] : cases) {
    Expect("0in", torvek::test::kDefaultIdentification);
    Expect("0go", reply);
    TORVEK::MotorInfo info;
    EXPECT_EQ(handler.GetMotorInfo(&info, 1000), TORVEK::Ok);
    EXPECT_EQ(info.home_offset_text, text) << reply;
  }
}

TEST_F(DeviceInfo, AHomeOffsetThatNeverComesGivesTheDefinedText) {
  Expect("0in", torvek::test::kDefaultIdentification);
  Expect("0go", Action::Silence());
  TORVEK::MotorInfo info;
  info.home_offset_text = "earlier";
  EXPECT_EQ(handler.GetMotorInfo(&info, 200), TORVEK::ReplyTimeout);
  EXPECT_EQ(info.ident_a, "1234ABCD");
  EXPECT_EQ(info.home_offset_text, "0.000000");
}

TEST_F(DeviceInfo, EachRequestWaitsHalfTheTimeOut) {
  Expect("0in", Action::Silence());
  Expect("0go", Action::Silence());
  TORVEK::MotorInfo info;
  int status = 0;
  const double elapsed = MillisecondsOf([&] { status = handler.GetMotorInfo(&info, 301); });
  EXPECT_EQ(status, TORVEK::ReplyTimeout);
  EXPECT_GE(elapsed, 300.0);
  EXPECT_LT(elapsed, 550.0);  // each request alone would have taken 301 ms
  EXPECT_EQ(info.ident_a, "");
  EXPECT_EQ(info.home_offset_text, "0.000000");
}

TEST_F(DeviceInfo, DeviceCodesMergeWithTheSmallerWinning) {
  Expect("0in", "0GS03\r\n");
  Expect("0go", "0GS05\r\n");
  Expect("0in", torvek::test::kDefaultIdentification);
  Expect("0go", "0GS05\r\n");
  TORVEK::MotorInfo info;
  EXPECT_EQ(handler.GetMotorInfo(&info, 1000), 3);
  EXPECT_EQ(info.ident_a, "");
  EXPECT_EQ(handler.GetMotorInfo(&info, 1000), TORVEK::Ok);
  EXPECT_EQ(info.ident_a, "1234ABCD");
}

TEST_F(DeviceInfo, WithoutARecordBothRequestsAreStillSent) {
  Expect("0in", torvek::test::kDefaultIdentification);
  Expect("0go", "0GS05\r\n");
  EXPECT_EQ(handler.GetMotorInfo(nullptr, 1000), TORVEK::Ok);
  EXPECT_EQ(Wire(), "0in0go");
}

TEST_F(DeviceInfo, TheHomeOffsetFollowsTheScaleOfTheConnectedDevice) {
  ASSERT_TRUE(ConnectWith("0IN0E1234ABCD0102030402D000023000\r\n"));  // 720 degrees
  Expect("0in", torvek::test::kDefaultIdentification);
  Expect("0go", "0HO00023000\r\n");
  TORVEK::MotorInfo info;
  EXPECT_EQ(handler.GetMotorInfo(&info, 1000), TORVEK::Ok);
  EXPECT_EQ(info.home_offset_text, "720.000000");
  std::int32_t degrees = 0, steps = 0;
  EXPECT_EQ(handler.GetScale(&degrees, &steps), TORVEK::Ok);
  EXPECT_EQ(std::make_pair(degrees, steps), std::make_pair(720, 143360));

  ASSERT_TRUE(ConnectWith("0IN0E1234ABCD0102030400B400023000\r\n"));  // 180 degrees
  Expect("0in", torvek::test::kDefaultIdentification);
  Expect("0go", "0HO00023000\r\n");
  EXPECT_EQ(handler.GetMotorInfo(&info, 1000), TORVEK::Ok);
  EXPECT_EQ(info.home_offset_text, "180.000000");
  EXPECT_EQ(handler.GetScale(&degrees, &steps), TORVEK::Ok);
  EXPECT_EQ(std::make_pair(degrees, steps), std::make_pair(180, 143360));
  EXPECT_EQ(handler.GetScale(nullptr, &steps), TORVEK::InvalidArgument);
  handler.Disconnect();
  EXPECT_EQ(handler.GetScale(&degrees, &steps), TORVEK::PortUnavailable);
  EXPECT_EQ(Wire(), "0in0go");
}

}  // namespace
