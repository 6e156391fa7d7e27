// Reply lines against the frame each command expects, without a port.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "Records.h"
#include "protocol/DeviceInfo.h"
#include "protocol/HexField.h"
#include "protocol/ReplyFrames.h"

namespace {

using TORVEK::DecodedReply;

struct StatusCase {
  const char* line;
  int status;
};

TEST(StatusReply, CodeOrUnexpected) {
  const StatusCase cases[] = {
      {"0GS00\r\n", 0},
      {"0GS1F\r\n", 31},
      {"0GSff\r\n", 255},
      {"9GS05\r\n", 5},                      // the address character is not examined
      {"0GS05XY", TORVEK::UnexpectedReply},  // what a hang-up left: no CR LF, no frame
      {"0GS05\r?", TORVEK::UnexpectedReply},
      {"0GS1\r\n", TORVEK::UnexpectedReply},  // 6 bytes
      {"0GS\r\n", TORVEK::UnexpectedReply},   // 5 bytes
      {"0GS1F0\r\n", TORVEK::UnexpectedReply},
      {"0gs1F\r\n", TORVEK::UnexpectedReply},  // the tag is case-sensitive
      {"0PO1F\r\n", TORVEK::UnexpectedReply},
      {"", TORVEK::UnexpectedReply},
      {"0GSZZ\r\n", TORVEK::UnexpectedReply},  // no digit: refused, not thrown
      {"0GS-2\r\n", TORVEK::UnexpectedReply},  // would pose as ReplyTimeout
      {"0GS 7\r\n", 7},
  };
  for (const StatusCase& c : cases) {
    EXPECT_EQ(TORVEK::DecodeStatusReply(c.line), c.status) << '"' << c.line << '"';
  }
}

struct PositionCase {
  const char* line;
  int status;
  bool delivered;
  std::int32_t value;  // what the output holds afterwards; it starts at 777
};

TEST(PositionReply, ValueStatusOrUnexpected) {
  const PositionCase cases[] = {
      {"0PO00023000\r\n", 0, true, 143360},
      {"0POFFFDD000\r\n", 0, true, -143360},
      {"0POFFFFFFFF\r\n", 0, true, -1},
      {"0PO0000001a\r\n", 0, true, 26},
      {"1PO00000010\r\n", 0, true, 16},
      {"0PO12 45678\r\n", 0, true, 0x12},   // digits up to the first non-digit
      {"0PO  +0x1F0\r\n", 0, true, 0x1F0},  // white space, sign and prefix
      {"0PO-0000010\r\n", 0, true, -16},
      {"0PO0xZZZZZZ\r\n", 0, true, 0},  // "0x" without a digit after it: the 0 counts
      {"0POZZZZZZZZ\r\n", TORVEK::UnexpectedReply, false, 777},
      {"0PO        \r\n", TORVEK::UnexpectedReply, false, 777},
      {"0GS05\r\n", 5, false, 777},
      {"0GS00\r\n", 0, false, 777},
      {"0PO1234\r\n", TORVEK::UnexpectedReply, false, 777},
      {"0HO00000010\r\n", TORVEK::UnexpectedReply, false, 777},
      {"0po00000010\r\n", TORVEK::UnexpectedReply, false, 777},
      {"0PO000000100\r\n", TORVEK::UnexpectedReply, false, 777},
  };
  for (const PositionCase& c : cases) {
    std::int32_t value = 777;
    const DecodedReply decoded = TORVEK::DecodeNumberReply(c.line, TORVEK::kPositionFrame, &value);
    EXPECT_EQ(decoded.status, c.status) << '"' << c.line << '"';
    EXPECT_EQ(decoded.delivered, c.delivered) << '"' << c.line << '"';
    EXPECT_EQ(value, c.value) << '"' << c.line << '"';
  }
}

TEST(PositionReply, ANullDestinationStillReportsTheFrame) {
  const DecodedReply decoded =
      TORVEK::DecodeNumberReply("0PO00000010\r\n", TORVEK::kPositionFrame, nullptr);
  EXPECT_EQ(decoded.status, TORVEK::Ok);
  EXPECT_TRUE(decoded.delivered);
}

TEST(HomeOffsetReply, OnlyTheHomeOffsetTagIsTheExpectedFrame) {
  std::int32_t value = 777;
  EXPECT_EQ(TORVEK::DecodeNumberReply("0HOFFFFFFF0\r\n", TORVEK::kHomeOffsetFrame, &value).status,
            TORVEK::Ok);
  EXPECT_EQ(value, -16);
  EXPECT_EQ(TORVEK::DecodeNumberReply("0PO00000010\r\n", TORVEK::kHomeOffsetFrame, &value).status,
            TORVEK::UnexpectedReply);
  EXPECT_EQ(value, -16);
}

TEST(HexField, ReadsTheWayTheFramesHaveAlwaysBeenRead) {
  EXPECT_EQ(TORVEK::ReadHexField("00023000"), 143360);
  EXPECT_EQ(TORVEK::ReadHexField("FFFFFFFF"), -1);
  EXPECT_EQ(TORVEK::ReadHexField("80000000"), INT32_MIN);
  EXPECT_EQ(TORVEK::ReadHexField("\t\v-1"), -1);
  EXPECT_EQ(TORVEK::ReadHexField("0X1f"), 31);
  EXPECT_EQ(TORVEK::ReadHexField("0x"), 0);
  EXPECT_EQ(TORVEK::ReadHexField("-"), std::nullopt);
  EXPECT_EQ(TORVEK::ReadHexField("+ 1"), std::nullopt);
  EXPECT_EQ(TORVEK::ReadHexField(""), std::nullopt);
}

const std::string kIdentification = "0IN0E1234ABCD01020304016800023000\r\n";

// The identification's fields as texts and its scale as numbers, read from fixed columns.
TEST(InfoReply, FillsTheFieldsAndTheScale) {
  TORVEK::Identification id;
  const DecodedReply decoded = TORVEK::DecodeInfoReply(kIdentification, &id);
  EXPECT_EQ(decoded.status, TORVEK::Ok);
  EXPECT_TRUE(decoded.delivered);
  EXPECT_EQ(id.ident_a, "1234ABCD");
  EXPECT_EQ(id.ident_b, "0102");
  EXPECT_EQ(id.ident_c, "03");
  EXPECT_EQ(id.ident_d, "04");
  EXPECT_EQ(id.degrees_per_revolution, 360);
  EXPECT_EQ(id.pulses_per_revolution, 143360);
}

TEST(InfoReply, NumbersAreSignedAndEitherCase) {
  TORVEK::Identification id;
  EXPECT_EQ(TORVEK::DecodeInfoReply("0IN0E1234ABCD010203040168FFFFFFFF\r\n", &id).status, 0);
  EXPECT_EQ(id.pulses_per_revolution, -1);
  EXPECT_EQ(TORVEK::DecodeInfoReply("0IN0E1234ABCD01020304016a00023000\r\n", &id).status, 0);
  EXPECT_EQ(id.degrees_per_revolution, 362);
}

TEST(InfoReply, AnUnreadableNumberLeavesTheWholeRecordAsItWas) {
  TORVEK::Identification id;
  id.ident_a = "earlier";
  id.degrees_per_revolution = 7;
  const DecodedReply decoded =
      TORVEK::DecodeInfoReply("0IN0E1234ABCD010203040168ZZZZZZZZ\r\n", &id);
  EXPECT_EQ(decoded.status, TORVEK::UnexpectedReply);
  EXPECT_FALSE(decoded.delivered);
  EXPECT_EQ(id.ident_a, "earlier");
  EXPECT_EQ(id.degrees_per_revolution, 7);
  EXPECT_EQ(id.ident_b, "");
}

TEST(InfoReply, AStatusFrameOrANullRecordStoresNothing) {
  TORVEK::Identification id;
  EXPECT_EQ(TORVEK::DecodeInfoReply("0GS00\r\n", &id).status, TORVEK::Ok);
  EXPECT_FALSE(TORVEK::DecodeInfoReply("0GS00\r\n", &id).delivered);
  EXPECT_EQ(TORVEK::DecodeInfoReply("0GS05\r\n", &id).status, 5);
  EXPECT_EQ(id.ident_a, "");
  EXPECT_EQ(id.degrees_per_revolution, 0);
  EXPECT_EQ(TORVEK::DecodeInfoReply(kIdentification, nullptr).status, TORVEK::Ok);
  EXPECT_EQ(TORVEK::DecodeInfoReply(kIdentification.substr(0, 34), &id).status,
            TORVEK::UnexpectedReply);
}

TEST(HomeOffsetText, FixedSixDecimals) {
  EXPECT_EQ(TORVEK::HomeOffsetText(1.5f), "1.500000");
  EXPECT_EQ(TORVEK::HomeOffsetText(-0.25f), "-0.250000");
  EXPECT_EQ(TORVEK::HomeOffsetText(0.0f), "0.000000");
  EXPECT_EQ(TORVEK::HomeOffsetText(0.0401785709f), "0.040179");
  EXPECT_EQ(TORVEK::HomeOffsetText(360.0f), "360.000000");
}

struct MergeCase {
  int info_result;
  int offset_result;
  int merged;
};

TEST(MotorInfoResult, BothOkOrTheSmaller) {
  const MergeCase cases[] = {{0, 0, 0},    {-2, 0, -2}, {0, 5, 0}, {3, 5, 3},
                             {-1, -2, -2}, {7, -3, -3}, {5, 0, 0}, {-4, 9, -4}};
  for (const MergeCase& c : cases) {
    EXPECT_EQ(TORVEK::MergedInfoResult(c.info_result, c.offset_result), c.merged)
        << c.info_result << ", " << c.offset_result;
  }
}

}  // namespace
