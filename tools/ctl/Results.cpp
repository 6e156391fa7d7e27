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

std::string AcceptedFor(Refusal refusal) {
  switch (refusal) {
    case Refusal::kDegrees:
      return torvek_att_accepted_range(TORVEK_ATT_RANGE_DEGREES);
    case Refusal::kSteps:
      return torvek_att_accepted_range(TORVEK_ATT_RANGE_STEPS);
    case Refusal::kTransmittance:
      return std::string(torvek_att_accepted_range(TORVEK_ATT_RANGE_TRANSMITTANCE)) + "; " +
             torvek_att_accepted_range(TORVEK_ATT_RANGE_MODEL);
    case Refusal::kModel:
      return torvek_att_accepted_range(TORVEK_ATT_RANGE_MODEL);
    case Refusal::kAny:
      break;
  }
  std::string all;
  for (const int quantity : {TORVEK_ATT_RANGE_DEGREES, TORVEK_ATT_RANGE_STEPS,
                             TORVEK_ATT_RANGE_TRANSMITTANCE, TORVEK_ATT_RANGE_MODEL})
    all += (all.empty() ? "" : "; ") + std::string(torvek_att_accepted_range(quantity));
  return all;
}

}  // namespace

std::string HintFor(int status, int timeout_ms, Refusal refusal, const std::string& accepted) {
  std::string hint = TORVEK::StatusHint(status);
  switch (status) {
    case TORVEK::ReplyTimeout:
      return hint + " (each reply was given " + std::to_string(timeout_ms) + " ms; --timeout)";
    case TORVEK::InvalidArgument:
      return hint + "; accepted: " + (accepted.empty() ? AcceptedFor(refusal) : accepted);
    default:
      if (status >= 1 && status <= 255)
        hint += " (the simulator uses 10 for an unknown command, 11 for a bad argument)";
      return hint;
  }
}

}  // namespace torvek::ctl
