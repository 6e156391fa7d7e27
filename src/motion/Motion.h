#pragma once

#include <cstdint>

#include "protocol/ReplyFrames.h"

namespace TORVEK {

class AttenuatorHandlerImpl;

// The motion commands and the position reads, at the scale of the link's last identification.
// Each sends one command through the reply decoders; outputs are written only when a position
// frame arrived (`delivered`).

// "0ma" + the steps as 8 hex digits; the device answers with its position when the motion ends.
DecodedReply MoveAbsoluteSteps(AttenuatorHandlerImpl& link, std::int32_t steps, int timeout_ms);
// The same for an angle, truncated toward zero to whole steps. InvalidArgument, with nothing
// sent, when the step count does not fit in 32 bits. `after`: the position reported, degrees.
DecodedReply MoveAbsoluteDegree(AttenuatorHandlerImpl& link, float degree, float* after,
                                int timeout_ms);
// "0gp".
DecodedReply GetPositionSteps(AttenuatorHandlerImpl& link, std::int32_t* steps, int timeout_ms);
DecodedReply GetPositionDegree(AttenuatorHandlerImpl& link, float* degree, int timeout_ms);
// "0ho0", answered by a position frame once at home.
int HomeMotor(AttenuatorHandlerImpl& link, int timeout_ms);
// "0om", "0cm", "0st": answered by a status frame.
int OptimizeMotor(AttenuatorHandlerImpl& link, int timeout_ms);
int CleanMechanics(AttenuatorHandlerImpl& link, int timeout_ms);
int StopMotor(AttenuatorHandlerImpl& link, int timeout_ms);

}  // namespace TORVEK
