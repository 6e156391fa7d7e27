#include "Results.h"

#include <torvek/AttenuatorHandler.h>

namespace ctl {

std::string ResultWord(int status) {
  switch (status) {
    case TORVEK::Ok:
      return "Ok";
    case TORVEK::UnexpectedReply:
      return "UnexpectedReply";
    case TORVEK::ReplyTimeout:
      return "ReplyTimeout";
    case TORVEK::PortUnavailable:
      return "PortUnavailable";
    case TORVEK::InvalidArgument:
      return "InvalidArgument";
    default:
      return status > 0 ? "device status " + std::to_string(status)
                        : "unknown result " + std::to_string(status);
  }
}

int ExitCodeFor(int status) {
  switch (status) {
    case TORVEK::Ok:
      return kExitOk;
    case TORVEK::UnexpectedReply:
      return kExitUnexpectedReply;
    case TORVEK::ReplyTimeout:
      return kExitTimeout;
    case TORVEK::PortUnavailable:
      return kExitPortLost;
    case TORVEK::InvalidArgument:
      return kExitInvalidArgument;
    default:
      return status > 0 ? kExitDeviceStatus : kExitInternal;
  }
}

std::string HintFor(int status, int timeout_ms) {
  switch (status) {
    case TORVEK::Ok:
      return "";
    case TORVEK::UnexpectedReply:
      return "a reply came that does not fit the command: another program on the port, line "
             "noise, or a different device; attenuator-sim --trace shows what a device sends";
    case TORVEK::ReplyTimeout:
      return "no reply within " + std::to_string(timeout_ms) +
             " ms: check power and cable; a long move or homing may need a larger --timeout";
    case TORVEK::PortUnavailable:
      return "the port went away (unplugged or hung up) or takes no bytes (a stalled line: "
             "flow control held, a device that no longer reads); check the cable and the "
             "device, then run again";
    case TORVEK::InvalidArgument:
      return "nothing was sent; accepted: -360 < degrees < 360, -143360 <= steps <= 143360, "
             "0 <= transmittance <= 1, min angle > -360, min angle + span < 360, span != 0";
    default:
      return "the device reports status " + std::to_string(status) +
             "; see its manual (the simulator uses 10 for an unknown command, 11 for a bad "
             "argument)";
  }
}

}  // namespace ctl
