#include "motion/Motion.h"

#include "link/AttenuatorHandlerImpl.h"
#include "motion/PositionUnits.h"
#include "protocol/Requests.h"

namespace TORVEK {

DecodedReply MoveAbsoluteSteps(AttenuatorHandlerImpl& link, std::int32_t steps, int timeout_ms) {
  std::int32_t reported = 0;
  return RequestPosition(link, "0ma" + FormatPositionHex(steps), &reported, timeout_ms);
}

DecodedReply MoveAbsoluteDegree(AttenuatorHandlerImpl& link, float degree, float* after,
                                int timeout_ms) {
  const std::optional<std::int32_t> steps =
      StepsForDegrees(static_cast<double>(degree), link.pulses_per_degree);
  if (!steps) {
    return DecodedReply{InvalidArgument, false};
  }
  std::int32_t position = 0;
  const DecodedReply reply =
      RequestPosition(link, "0ma" + FormatPositionHex(*steps), &position, timeout_ms);
  if (reply.delivered && after != nullptr) {
    *after = DegreesForSteps(position, link.pulses_per_degree);
  }
  return reply;
}

DecodedReply GetPositionSteps(AttenuatorHandlerImpl& link, std::int32_t* steps, int timeout_ms) {
  return RequestPosition(link, "0gp", steps, timeout_ms);
}

DecodedReply GetPositionDegree(AttenuatorHandlerImpl& link, float* degree, int timeout_ms) {
  std::int32_t steps = 0;
  const DecodedReply reply = RequestPosition(link, "0gp", &steps, timeout_ms);
  if (reply.delivered && degree != nullptr) {
    *degree = DegreesForSteps(steps, link.pulses_per_degree);
  }
  return reply;
}

int HomeMotor(AttenuatorHandlerImpl& link, int timeout_ms) {
  return RequestPosition(link, "0ho0", nullptr, timeout_ms).status;
}

int OptimizeMotor(AttenuatorHandlerImpl& link, int timeout_ms) {
  return RequestStatus(link, "0om", timeout_ms);
}

int CleanMechanics(AttenuatorHandlerImpl& link, int timeout_ms) {
  return RequestStatus(link, "0cm", timeout_ms);
}

int StopMotor(AttenuatorHandlerImpl& link, int timeout_ms) {
  // A stop that cuts a motion short gets the motion's reply first: a Stop made after a Cancel
  // of the motion's wait is answered so. A run's reply is a status frame like the stop's own.
  const bool run_cut_short = link.unanswered == "0om" || link.unanswered == "0cm";
  return RequestStatusAfterMotion(link, "0st", timeout_ms, run_cut_short);
}

}  // namespace TORVEK
