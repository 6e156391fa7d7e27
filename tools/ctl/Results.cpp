#include "Results.h"

#include <torvek/AttenuatorHandler.h>
#include <torvek/attenuator.h>

namespace torvek::ctl {

std::string ResultWord(int status) {
  // The library's own names; a device's code goes with its number, as its manual lists it.
  if (status >= 1 && status <= 255)
    return "device status " + std::to_string(status);
  const std::string name = torvek_att_status_name(status);
  return name == "Unknown" ? "unknown result " + std::to_string(status) : name;
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

namespace {

// Each as the library checks it before anything is sent.
constexpr const char* kDegreesRule =
    "-360 < degrees < 360, and the step count at the device's scale (degrees times its steps "
    "per degree) must fit in 32 bits";
constexpr const char* kStepsRule = "-143360 <= steps <= 143360";
constexpr const char* kTransmittanceRule =
    "0 <= transmittance <= 1, min angle > -360, min angle + span < 360, |span| >= 1e-9";

std::string AcceptedFor(Refusal refusal) {
  switch (refusal) {
    case Refusal::kDegrees:
      return kDegreesRule;
    case Refusal::kSteps:
      return kStepsRule;
    case Refusal::kTransmittance:
      return kTransmittanceRule;
    case Refusal::kAny:
      break;
  }
  return std::string(kDegreesRule) + "; " + kStepsRule + "; " + kTransmittanceRule;
}

}  // namespace

std::string HintFor(int status, int timeout_ms, Refusal refusal, bool port_gone) {
  switch (status) {
    case TORVEK::Ok:
      return "";
    case TORVEK::UnexpectedReply:
      // A line that closes under the call ends it the same way as a wrong reply does.
      if (port_gone)
        return "the port is gone: the line closed during the call (unplugged, hung up); check "
               "the cable and the device, then run again";
      return "no reply that fits the command: another program on the port, line noise, or a "
             "different device; or the line closed during the call (unplugged, hung up); "
             "attenuator-sim --trace shows what a device sends";
    case TORVEK::ReplyTimeout:
      return "no reply within " + std::to_string(timeout_ms) +
             " ms: check power and cable; a long move or homing may need a larger --timeout";
    case TORVEK::PortUnavailable:
      return "the port went away (unplugged or hung up) or takes no bytes (a stalled line: "
             "flow control held, a device that no longer reads); check the cable and the "
             "device, then run again";
    case TORVEK::InvalidArgument:
      return "nothing was sent; accepted: " + AcceptedFor(refusal);
    default:
      return "the device reports status " + std::to_string(status) +
             "; see its manual (the simulator uses 10 for an unknown command, 11 for a bad "
             "argument)";
  }
}

}  // namespace torvek::ctl
