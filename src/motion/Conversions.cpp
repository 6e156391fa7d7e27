#include <cmath>

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

}  // namespace TORVEK
