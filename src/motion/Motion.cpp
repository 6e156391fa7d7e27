#include "link/AttenuatorHandlerImpl.h"
#include "motion/PositionUnits.h"

namespace TORVEK {

int AttenuatorHandlerImpl::MoveAbsoluteDegree(float degree, float* after, int timeout_ms) {
  const std::optional<std::int32_t> steps =
      DegreesToSteps(static_cast<double>(degree), pulses_per_degree);
  if (!steps) {
    return InvalidArgument;
  }
  int position = 0;
  bool delivered = false;
  const int result =
      RequestPosition("0ma" + FormatPositionHex(*steps), &position, timeout_ms, &delivered);
  if (delivered && after != nullptr) {
    *after = StepsToDegrees(position, pulses_per_degree);
  }
  return result;
}

int AttenuatorHandlerImpl::MoveAbsoluteSteps(int steps, int* after, int timeout_ms) {
  return RequestPosition("0ma" + FormatPositionHex(steps), after, timeout_ms);
}

int AttenuatorHandlerImpl::GetPositionDegree(float* position, int timeout_ms, bool* delivered) {
  int steps = 0;
  bool arrived = false;
  const int result = RequestPosition("0gp", &steps, timeout_ms, &arrived);
  if (arrived && position != nullptr) {
    *position = StepsToDegrees(steps, pulses_per_degree);
  }
  if (delivered != nullptr) {
    *delivered = arrived;
  }
  return result;
}

int AttenuatorHandlerImpl::GetPositionSteps(int* position, int timeout_ms) {
  return RequestPosition("0gp", position, timeout_ms);
}

int AttenuatorHandlerImpl::HomeMotor(int timeout_ms) {
  return RequestPosition("0ho0", nullptr, timeout_ms);
}

int AttenuatorHandlerImpl::OptimizeMotor(int timeout_ms) {
  return RequestStatus("0om", timeout_ms);
}

int AttenuatorHandlerImpl::CleanMechanics(int timeout_ms) {
  return RequestStatus("0cm", timeout_ms);
}

int AttenuatorHandlerImpl::StopMotor(int timeout_ms) {
  return RequestStatus("0st", timeout_ms);
}

}  // namespace TORVEK
