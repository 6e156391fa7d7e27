// The transmittance model end to end: the angle sent for a wanted transmittance, and the
// transmittance reported for the position the device gives back.
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

using Transmittance = ConnectedDevice;

struct ModelCase {
  float transmittance;
  double min_angle;
  double angle_span;
  const char* command;
  std::int32_t steps;
  float read_back;
};

TEST_F(Transmittance, WantedValuesGoOutAsTheModelsAngleAndReadBack) {
  const ModelCase cases[] = {
      {0.0f, 10, 90, "0ma00000F8E", 3982, 9.48126577e-11f},
      {0.25f, 10, 90, "0ma00003E38", 15928, 0.249966264f},
      {0.5f, 10, 90, "0ma0000558E", 21902, 0.499990284f},
      {1.0f, 10, 90, "0ma00009B8E", 39822, 1.0f},
      {0.5f, 0, 45, "0ma00002300", 8960, 0.5f},
      {0.1f, -20, 90, "0maFFFFFD91", -623, 0.10000626f},
      {1.0f, -300, -100, "0maFFFD91C8", -159288, 1.0f},
  };
  for (const ModelCase& c : cases) {
    server.ClearLog();
    Expect(c.command, torvek::sim::PositionFrame(c.steps));
    Expect("0gp", torvek::sim::PositionFrame(c.steps));
    EXPECT_EQ(handler.SetTransmittance(c.transmittance, c.min_angle, c.angle_span, 500),
              TORVEK::Ok);
    float read_back = -1.0f;
    EXPECT_EQ(handler.GetTransmittance(&read_back, c.min_angle, c.angle_span, 500), TORVEK::Ok);
    EXPECT_EQ(read_back, c.read_back) << c.command;
    EXPECT_EQ(Wire(), std::string(c.command) + "0gp");

    // The same numbers from the library's model and conversions, without a device.
    float angle = 0.0f;
    std::int32_t steps = 0;
    float degrees = 0.0f;
    float transmittance = -1.0f;
    ASSERT_EQ(TORVEK::AngleFor(c.transmittance, c.min_angle, c.angle_span, &angle), TORVEK::Ok);
    // A move by degrees is bounded to one revolution either way; the model's angle is not.
    if (std::fabs(angle) < 360.0f) {
      ASSERT_EQ(TORVEK::DegreesToSteps(angle, 360, 143360, &steps), TORVEK::Ok);
      EXPECT_EQ(steps, c.steps);
    } else {
      EXPECT_EQ(TORVEK::DegreesToSteps(angle, 360, 143360, &steps), TORVEK::InvalidArgument);
    }
    ASSERT_EQ(TORVEK::StepsToDegrees(c.steps, 360, 143360, &degrees), TORVEK::Ok);
    ASSERT_EQ(TORVEK::TransmittanceAt(degrees, c.min_angle, c.angle_span, &transmittance),
              TORVEK::Ok);
    EXPECT_EQ(transmittance, c.read_back);
  }
}

TEST_F(Transmittance, ChecksAtTheEdgesOfTheAcceptedRange) {
  Expect("0ma00022FD8", torvek::sim::PositionFrame(143320));  // 270 + 89.9 at full transmittance
  Expect("0ma00000000", torvek::sim::PositionFrame(0));       // exactly 0 at min_angle 0
  Expect("0ma00009B8E", torvek::sim::PositionFrame(39822));   // exactly 1
  Expect("0gp", torvek::sim::PositionFrame(0));
  EXPECT_EQ(handler.SetTransmittance(1.0f, 270, 89.9, 500), TORVEK::Ok);
  EXPECT_EQ(handler.SetTransmittance(1.0f, 270, 90, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetTransmittance(0.5f, -360, 90, 500), TORVEK::InvalidArgument);
  float t = 0.5f;
  EXPECT_EQ(handler.GetTransmittance(&t, -360, 90, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.GetTransmittance(&t, 270, 90, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetTransmittance(1.0000001f, 10, 90, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetTransmittance(-0.0000001f, 10, 90, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetTransmittance(0.0f, 0, 90, 500), TORVEK::Ok);
  EXPECT_EQ(handler.SetTransmittance(1.0f, 10, 90, 500), TORVEK::Ok);
  EXPECT_EQ(handler.GetTransmittance(&t, -359.9, 90, 500), TORVEK::Ok);
  EXPECT_FLOAT_EQ(t, 3.04617106e-6f);  // sin^2 of -0.1 degrees
  EXPECT_EQ(Wire(), "0ma00022FD80ma000000000ma00009B8E0gp");
}

TEST_F(Transmittance, NotANumberZeroSpanNullAndOverflowAreRefusedUnsent) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  float t = 0.25f;
  EXPECT_EQ(handler.SetTransmittance(nan, 10, 90, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetTransmittance(0.5f, std::nan(""), 90, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetTransmittance(0.5f, 10, std::nan(""), 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetTransmittance(0.5f, 10, -inf, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetTransmittance(0.5f, 10, 0.0, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetTransmittance(1.0f, 10, -1e12, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.SetTransmittance(1.0f, 10, -1e300, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.GetTransmittance(&t, std::nan(""), 90, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.GetTransmittance(&t, 10, inf, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.GetTransmittance(&t, 10, 0.0, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(handler.GetTransmittance(nullptr, 10, 90, 500), TORVEK::InvalidArgument);
  EXPECT_EQ(t, 0.25f);
  // The model functions refuse what the handler refuses, and write nothing.
  float angle = 7.0f;
  EXPECT_EQ(TORVEK::AngleFor(nan, 10, 90, &angle), TORVEK::InvalidArgument);
  EXPECT_EQ(TORVEK::AngleFor(0.5f, 10, 0.0, &angle), TORVEK::InvalidArgument);
  EXPECT_EQ(TORVEK::AngleFor(1.0f, 10, -1e300, &angle), TORVEK::InvalidArgument);
  EXPECT_EQ(TORVEK::AngleFor(0.5f, 10, 90, nullptr), TORVEK::InvalidArgument);
  EXPECT_EQ(TORVEK::TransmittanceAt(20.0f, std::nan(""), 90, &t), TORVEK::InvalidArgument);
  EXPECT_EQ(TORVEK::TransmittanceAt(20.0f, 10, inf, &t), TORVEK::InvalidArgument);
  EXPECT_EQ(TORVEK::TransmittanceAt(nan, 10, 90, &t), TORVEK::InvalidArgument);
  EXPECT_EQ(angle, 7.0f);
  EXPECT_EQ(t, 0.25f);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Wire(), "");
}

TEST_F(Transmittance, OnlyADeliveredPositionWritesTheCallersValue) {
  Expect("0gp", Action::Silence());
  Expect("0gp", "0GS00\r\n");
  Expect("0gp", "0GS07\r\n");
  float t = 0.25f;
  EXPECT_EQ(handler.GetTransmittance(&t, 10, 90, 30), TORVEK::ReplyTimeout);
  EXPECT_EQ(handler.GetTransmittance(&t, 10, 90, 500), TORVEK::Ok);
  EXPECT_EQ(handler.GetTransmittance(&t, 10, 90, 500), 7);
  EXPECT_EQ(t, 0.25f);
}

TEST_F(Transmittance, AMoveAnsweredByAStatusReturnsItsCode) {
  Expect("0ma00002300", "0GS04\r\n");
  EXPECT_EQ(handler.SetTransmittance(0.5f, 0, 45, 500), 4);
}

// With a span this small, pi / span times the angle overflows and the model's value is not a
// number, which GetTransmittance must never deliver with Ok. No mount has such a span.
TEST_F(Transmittance, ASpanTooSmallForTheModelIsRefusedUnsent) {
  const double spans[] = {std::numeric_limits<double>::denorm_min(),
                          std::numeric_limits<double>::min(),
                          1e-300,
                          -1e-300,
                          9.9e-10,
                          -9.9e-10};
  for (const double span : spans) {
    float t = 0.25f;
    EXPECT_EQ(handler.GetTransmittance(&t, 10, span, 500), TORVEK::InvalidArgument) << span;
    EXPECT_EQ(handler.SetTransmittance(0.5f, 10, span, 500), TORVEK::InvalidArgument) << span;
    EXPECT_EQ(t, 0.25f) << span;
  }
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Wire(), "");

  // The smallest span taken still gives a transmittance, even at the far end of the range.
  Expect("0gp", torvek::sim::PositionFrame(3983));
  Expect("0gp", torvek::sim::PositionFrame(std::numeric_limits<std::int32_t>::max()));
  for (int i = 0; i < 2; ++i) {
    float t = -1.0f;
    EXPECT_EQ(handler.GetTransmittance(&t, 10, -1e-9, 500), TORVEK::Ok);
    EXPECT_TRUE(t >= 0.0f && t <= 1.0f) << t;
  }
}

}  // namespace

namespace {

// Optical density and decibels, both ways, and the densities the model reaches on a mount.
TEST(OpticalDensity, BothWaysAndTheirRefusals) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double transmittance, density, decibels;
  } cases[] = {{1.0, 0.0, 0.0}, {0.1, 1.0, 10.0}, {0.01, 2.0, 20.0}, {0.0, inf, inf}};
  for (const auto& c : cases) {
    double density = -1.0, decibels = -1.0, back = -1.0;
    ASSERT_EQ(TORVEK::OpticalDensity(c.transmittance, &density), TORVEK::Ok);
    ASSERT_EQ(TORVEK::AttenuationDecibels(c.transmittance, &decibels), TORVEK::Ok);
    ASSERT_EQ(TORVEK::TransmittanceOfDensity(c.density, &back), TORVEK::Ok);
    EXPECT_EQ(density, c.density) << c.transmittance;
    EXPECT_FALSE(std::signbit(density)) << c.transmittance;
    EXPECT_EQ(decibels, c.decibels) << c.transmittance;
    EXPECT_DOUBLE_EQ(back, c.transmittance);
  }
  double kept = 7.0;
  for (const double t : {-0.1, 1.1, std::nan("")}) {
    EXPECT_EQ(TORVEK::OpticalDensity(t, &kept), TORVEK::InvalidArgument) << t;
    EXPECT_EQ(TORVEK::AttenuationDecibels(t, &kept), TORVEK::InvalidArgument) << t;
  }
  EXPECT_EQ(TORVEK::TransmittanceOfDensity(-1.0, &kept), TORVEK::InvalidArgument);
  EXPECT_EQ(TORVEK::TransmittanceOfDensity(std::nan(""), &kept), TORVEK::InvalidArgument);
  EXPECT_EQ(kept, 7.0);

  // One step of the default scale from the zero of a 90-degree span: sin^2(0.00251116 deg).
  double limit = 0.0;
  ASSERT_EQ(TORVEK::DensityLimit(0.0, 90.0, 360, 143360, &limit), TORVEK::Ok);
  EXPECT_NEAR(limit, 8.7165, 1e-4);
  // Named rounded down: the number shown is one the model takes.
  EXPECT_EQ(TORVEK::AcceptedDensities(limit), "0 <= optical density <= 8.7164, or inf");
  EXPECT_EQ(TORVEK::AcceptedDensities(2.0), "0 <= optical density <= 2.0000, or inf");
  // Half the span doubles the phase of a step: a quarter of the transmittance, 0.6 OD less.
  double half = 0.0;
  ASSERT_EQ(TORVEK::DensityLimit(10.0, 45.0, 360, 143360, &half), TORVEK::Ok);
  EXPECT_NEAR(limit - half, 2.0 * std::log10(2.0), 1e-6);
  EXPECT_EQ(TORVEK::DensityLimit(0.0, 0.0, 360, 143360, &limit), TORVEK::InvalidArgument);
  EXPECT_EQ(TORVEK::DensityLimit(0.0, 90.0, 0, 143360, &limit), TORVEK::InvalidArgument);

  // What the model reaches on the mount: up to the limit, and infinity; nothing between.
  ASSERT_EQ(TORVEK::DensityLimit(0.0, 90.0, 360, 143360, &limit), TORVEK::Ok);
  const struct {
    double density, min_angle, span;
    std::int32_t steps_per_revolution;
    TORVEK::AttenuatorStatus result;
    double transmittance;
  } reached[] = {
      {2.0, 0.0, 90.0, 143360, TORVEK::Ok, 0.01},
      {limit, 0.0, 90.0, 143360, TORVEK::Ok, std::pow(10.0, -limit)},
      {inf, 0.0, 90.0, 143360, TORVEK::Ok, 0.0},
      {std::nextafter(limit, inf), 0.0, 90.0, 143360, TORVEK::InvalidArgument, 7.0},
      {limit + 0.5, 0.0, 90.0, 286720, TORVEK::Ok, std::pow(10.0, -limit - 0.5)},  // finer
      {-0.1, 0.0, 90.0, 143360, TORVEK::InvalidArgument, 7.0},
      {std::nan(""), 0.0, 90.0, 143360, TORVEK::InvalidArgument, 7.0},
      {1.0, 0.0, 0.0, 143360, TORVEK::InvalidArgument, 7.0},
      {1.0, 0.0, 90.0, 0, TORVEK::InvalidArgument, 7.0},
  };
  for (const auto& c : reached) {
    double transmittance = 7.0;
    EXPECT_EQ(TORVEK::TransmittanceForDensity(c.density, c.min_angle, c.span, 360,
                                              c.steps_per_revolution, &transmittance),
              c.result)
        << c.density;
    EXPECT_DOUBLE_EQ(transmittance, c.transmittance) << c.density;
  }
}

}  // namespace
