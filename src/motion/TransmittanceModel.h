#pragma once

#include <optional>

namespace TORVEK {

// The sine-squared model T = sin^2(90 * (angle - min_angle) / angle_span), angles in degrees.
// Both directions use these two decimal constants, not the mathematical library's pi, so that
// the angles sent for a given transmittance stay what they have always been.
inline constexpr double model_pi = 3.14159265359;
inline constexpr double model_half_pi = 1.57079632679;

// The mount angle for `transmittance` on the rising half-period, narrowed to float. Nothing
// when the angle is beyond what a float holds.
std::optional<float> AngleForTransmittance(float transmittance, double min_angle,
                                           double angle_span);

// The transmittance at a mount angle, in double: what TransmittanceAtAngle narrows. Fits and
// plots that work in double use it, so that their model is the handler's to the last bit.
double ModelTransmittance(double angle, double min_angle, double angle_span);

// The transmittance at a mount angle, narrowed to float.
float TransmittanceAtAngle(float angle, double min_angle, double angle_span);

}  // namespace TORVEK
