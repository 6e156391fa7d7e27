#pragma once

#include <cstdint>
#include <string>

#include "protocol/ReplyFrames.h"

namespace TORVEK {

class AttenuatorHandlerImpl;

// The reply decoders: one Exchange on `link` each, then the frame tests of ReplyFrames.h. A
// status frame is accepted in place of the expected frame; `delivered` in the result tells
// whether the expected frame itself arrived and decoded (a status frame of code 0 gives Ok
// without a value). An output is written only when it did.

int RequestStatus(AttenuatorHandlerImpl& link, const std::string& command, int timeout_ms);

// For a command that stops a motion: the device answers the motion first, with the position it
// reached, then this command with its status frame. The position frame is passed over.
int RequestStatusAfterMotion(AttenuatorHandlerImpl& link, const std::string& command,
                             int timeout_ms);

DecodedReply RequestPosition(AttenuatorHandlerImpl& link, const std::string& command,
                             std::int32_t* position, int timeout_ms);

DecodedReply RequestHomeOffset(AttenuatorHandlerImpl& link, const std::string& command,
                               std::int32_t* offset, int timeout_ms);

DecodedReply RequestInfo(AttenuatorHandlerImpl& link, const std::string& command,
                         Identification* identification, int timeout_ms);

}  // namespace TORVEK
