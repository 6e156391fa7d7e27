#pragma once

#include <string>

#include "protocol/ReplyFrames.h"
#include "torvek/AttenuatorHandler.h"

namespace TORVEK {

class AttenuatorHandlerImpl;

// "0in": the identification record.
DecodedReply QueryIdentification(AttenuatorHandlerImpl& link, Identification* identification,
                                 int timeout_ms);

// "0go": the home offset, in motor steps.
DecodedReply QueryHomeOffset(AttenuatorHandlerImpl& link, std::int32_t* steps, int timeout_ms);

// The identification on connect, on a port Open has just opened: the fixed pause, "0in" with
// its fixed time-out, and the device's scale adopted. Anything but Connected closes the port.
ConnectResult IdentifyDevice(AttenuatorHandlerImpl& link);

// The home offset as MotorInfo carries it: the float widened to double, fixed notation, six
// decimals ("1.500000", "-0.040179"), the same whatever locale the host has set.
std::string HomeOffsetText(float degrees);

// The result of GetMotorInfo from its two requests: Ok when both are Ok, otherwise the smaller
// of the two, so a library failure outranks a device code and a 0 hides the other's code.
int MergedInfoResult(int info_result, int offset_result);

}  // namespace TORVEK
