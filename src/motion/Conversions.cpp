#include <cmath>
#include <cstdio>

#include "motion/Bounds.h"
#include "motion/PositionUnits.h"
#include "motion/TransmittanceModel.h"
#include "torvek/AttenuatorHandler.h"

// The model and the unit conversions as the handler applies them, for hosts without a device:
// the same argument checks, the same arithmetic, the same narrowing.

namespace TORVEK {
namespace {

// Steps per degree as Connect derives it from the identification.
double PulsesPerDegree(std::int32_t degrees_per_revolution, std::int32_t steps_per_revolution) {
  return static_cast<double>(steps_per_revolution) / static_cast<double>(degrees_per_revolution);
}

}  // namespace

AttenuatorStatus TransmittanceAt(float angle, double min_angle, double angle_span,
                                 float* transmittance) {
  if (transmittance == nullptr || !std::isfinite(angle) || !ModelAccepted(min_angle, angle_span)) {
    return InvalidArgument;
  }
  *transmittance = TransmittanceAtAngle(angle, min_angle, angle_span);
  return Ok;
}

AttenuatorStatus AngleFor(float transmittance, double min_angle, double angle_span, float* angle) {
  if (angle == nullptr || !TransmittanceAccepted(static_cast<double>(transmittance)) ||
      !ModelAccepted(min_angle, angle_span)) {
    return InvalidArgument;
  }
  const std::optional<float> found = AngleForTransmittance(transmittance, min_angle, angle_span);
  if (!found) {
    return InvalidArgument;
  }
  *angle = *found;
  return Ok;
}

AttenuatorStatus DegreesToSteps(float degrees, std::int32_t degrees_per_revolution,
                                std::int32_t steps_per_revolution, std::int32_t* steps) {
  if (steps == nullptr || degrees_per_revolution <= 0 || steps_per_revolution <= 0 ||
      !DegreesAccepted(static_cast<double>(degrees))) {
    return InvalidArgument;
  }
  const std::optional<std::int32_t> found = StepsForDegrees(
      static_cast<double>(degrees), PulsesPerDegree(degrees_per_revolution, steps_per_revolution));
  if (!found) {
    return InvalidArgument;
  }
  *steps = *found;
  return Ok;
}

AttenuatorStatus StepsToDegrees(std::int32_t steps, std::int32_t degrees_per_revolution,
                                std::int32_t steps_per_revolution, float* degrees) {
  if (degrees == nullptr || degrees_per_revolution <= 0 || steps_per_revolution <= 0) {
    return InvalidArgument;
  }
  *degrees = DegreesForSteps(steps, PulsesPerDegree(degrees_per_revolution, steps_per_revolution));
  return Ok;
}

AttenuatorStatus OpticalDensity(double transmittance, double* optical_density) {
  if (optical_density == nullptr || !TransmittanceAccepted(transmittance)) {
    return InvalidArgument;
  }
  // 0 - log10(1) is +0, where -log10(1) would be -0.
  *optical_density = transmittance == 0.0 ? HUGE_VAL : 0.0 - std::log10(transmittance);
  return Ok;
}

AttenuatorStatus AttenuationDecibels(double transmittance, double* decibels) {
  double density = 0.0;
  if (decibels == nullptr || OpticalDensity(transmittance, &density) != Ok) {
    return InvalidArgument;
  }
  *decibels = 10.0 * density;
  return Ok;
}

AttenuatorStatus TransmittanceOfDensity(double optical_density, double* transmittance) {
  // Written so that NaN fails too.
  if (transmittance == nullptr || !(optical_density >= 0.0)) {
    return InvalidArgument;
  }
  *transmittance = std::pow(10.0, -optical_density);
  return Ok;
}

AttenuatorStatus DensityLimit(double min_angle, double angle_span,
                              std::int32_t degrees_per_revolution,
                              std::int32_t steps_per_revolution, double* optical_density) {
  if (optical_density == nullptr || degrees_per_revolution <= 0 || steps_per_revolution <= 0 ||
      !ModelAccepted(min_angle, angle_span)) {
    return InvalidArgument;
  }
  const double step = 1.0 / PulsesPerDegree(degrees_per_revolution, steps_per_revolution);
  return OpticalDensity(ModelTransmittance(min_angle + step, min_angle, angle_span),
                        optical_density);
}

std::string AcceptedDensities(double density_limit) {
  char text[64];
  std::snprintf(text, sizeof text, "0 <= optical density <= %.4f, or inf",
                std::floor(density_limit * 1e4) / 1e4);
  return text;
}

AttenuatorStatus TransmittanceForDensity(double optical_density, double min_angle,
                                         double angle_span, std::int32_t degrees_per_revolution,
                                         std::int32_t steps_per_revolution, double* transmittance) {
  double limit = 0.0;
  if (transmittance == nullptr ||
      DensityLimit(min_angle, angle_span, degrees_per_revolution, steps_per_revolution, &limit) !=
          Ok ||
      !(optical_density <= limit || optical_density == HUGE_VAL)) {
    return InvalidArgument;
  }
  return TransmittanceOfDensity(optical_density, transmittance);
}

}  // namespace TORVEK
