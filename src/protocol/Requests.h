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

// The device sends a stop's status right behind the reply of the run it cut short: at 9600 baud
// a status frame takes 7.3 ms, and an adapter may hold it for its latency timer (16 ms).
inline constexpr int kStatusAfterRunMs = 100;

// For a command that stops a motion: the device answers the motion first, with the position it
// reached (a move, homing) or, for a run (`run_cut_short`: optimisation, cleaning), with the
// run's status frame; then this command with its own status frame. The motion's reply is
// passed over. A run's status frame that no second one follows within kStatusAfterRunMs was this
// command's own after all (the run's reply had been lost on the line).
int RequestStatusAfterMotion(AttenuatorHandlerImpl& link, const std::string& command,
                             int timeout_ms, bool run_cut_short);

DecodedReply RequestPosition(AttenuatorHandlerImpl& link, const std::string& command,
                             std::int32_t* position, int timeout_ms);

DecodedReply RequestHomeOffset(AttenuatorHandlerImpl& link, const std::string& command,
                               std::int32_t* offset, int timeout_ms);

DecodedReply RequestInfo(AttenuatorHandlerImpl& link, const std::string& command,
                         Identification* identification, int timeout_ms);

}  // namespace TORVEK
