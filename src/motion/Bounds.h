#pragma once

#include <cmath>

// What the attenuator accepts, checked before anything is sent. The bounds of a move are fixed:
// they do not follow the scale the device reports.

namespace TORVEK {

inline constexpr int kMaxSteps = 143360;
inline constexpr double kMaxDegrees = 360.0;
// The smallest transmittance span taken, in degrees. Below it no mount can resolve the model,
// and far below it pi / span times an angle overflows: the transmittance would not be a
// number, and a call must never deliver NaN with Ok.
inline constexpr double kMinSpanDegrees = 1e-9;

inline bool StepsAccepted(long long steps) {
  return steps >= -kMaxSteps && steps <= kMaxSteps;
}

// A NaN passes every comparison, so finiteness is tested first.
inline bool DegreesAccepted(double degrees) {
  return std::isfinite(degrees) && degrees > -kMaxDegrees && degrees < kMaxDegrees;
}

inline bool TransmittanceAccepted(double transmittance) {
  return std::isfinite(transmittance) && transmittance >= 0.0 && transmittance <= 1.0;
}

// The transmittance model's parameters: the half-period from min_angle to min_angle + span
// must lie within one revolution either way, and a zero or vanishing span makes it meaningless.
inline bool ModelAccepted(double min_angle, double angle_span) {
  if (!std::isfinite(min_angle) || !std::isfinite(angle_span) ||
      std::fabs(angle_span) < kMinSpanDegrees) {
    return false;
  }
  return min_angle > -kMaxDegrees && min_angle + angle_span < kMaxDegrees;
}

}  // namespace TORVEK
