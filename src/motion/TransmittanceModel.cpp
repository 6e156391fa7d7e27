#include "motion/TransmittanceModel.h"

#include <cmath>
#include <limits>

namespace TORVEK {

std::optional<float> AngleForTransmittance(float transmittance, double min_angle,
                                           double angle_span) {
  const double t = static_cast<double>(transmittance);
  const double k = angle_span / model_pi;
  const double u = (t - 0.5) / 0.5;
  const double angle = k * (std::asin(u) + model_half_pi) + min_angle;
  if (!(std::fabs(angle) <= static_cast<double>(std::numeric_limits<float>::max()))) {
    return std::nullopt;
  }
  return static_cast<float>(angle);
}

double ModelTransmittance(double angle, double min_angle, double angle_span) {
  const double k = model_pi / angle_span;
  const double d = angle - min_angle;
  return 0.5 * std::sin(k * d - model_half_pi) + 0.5;
}

float TransmittanceAtAngle(float angle, double min_angle, double angle_span) {
  return static_cast<float>(ModelTransmittance(static_cast<double>(angle), min_angle, angle_span));
}

}  // namespace TORVEK
