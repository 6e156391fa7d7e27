// The model and the position text without a port.
#include <cmath>
#include <cstdint>

#include <gtest/gtest.h>

#include "motion/PositionUnits.h"
#include "motion/TransmittanceModel.h"

namespace {

TEST(TransmittanceModel, AtGivenAngles) {
  const std::pair<float, float> cases[] = {
      {10.0f, 0.0f},  {32.5f, 0.146446615f}, {55.0f, 0.5f},
      {100.0f, 1.0f}, {190.0f, 0.0f},        {-80.0f, 1.0f},
  };
  for (const auto& [angle, transmittance] : cases) {
    EXPECT_NEAR(TORVEK::TransmittanceAtAngle(angle, 10, 90), transmittance, 1e-9) << angle;
  }
  EXPECT_EQ(TORVEK::TransmittanceAtAngle(32.5f, 10, 90), 0.146446615f);
}

// The angles sent for a transmittance stay what they have always been: with the mathematical
// library's pi the angle for 0.1 would differ in the last places.
TEST(TransmittanceModel, KeepsTheAnglesItHasAlwaysSent) {
  EXPECT_EQ(*TORVEK::AngleForTransmittance(0.1f, -20, 90), -1.56505108f);
}

TEST(PositionUnits, HexAndTruncation) {
  EXPECT_EQ(TORVEK::FormatPositionHex(INT32_MIN), "80000000");
  EXPECT_EQ(TORVEK::FormatPositionHex(INT32_MAX), "7FFFFFFF");
  EXPECT_EQ(TORVEK::FormatPositionHex(-35840), "FFFF7400");
  EXPECT_EQ(TORVEK::StepsForDegrees(0.9999 / 398.0, 398.0), 0);
  EXPECT_EQ(TORVEK::StepsForDegrees(-0.9999 / 398.0, 398.0), 0);
  EXPECT_EQ(TORVEK::StepsForDegrees(1.0, 2147483647.0), INT32_MAX);
  EXPECT_EQ(TORVEK::StepsForDegrees(-1.0, 2147483648.0), INT32_MIN);
  EXPECT_EQ(TORVEK::StepsForDegrees(2.0, 2147483647.0), std::nullopt);
  EXPECT_EQ(TORVEK::StepsForDegrees(std::nan(""), 398.0), std::nullopt);
}

}  // namespace
