#include "Probe.h"

#include <cstring>

#include "Interrupt.h"
#include "PortBusy.h"
#include "Results.h"
#include "Session.h"

namespace torvek::ctl {

std::string OutcomeWord(ProbeResult::Outcome outcome) {
  switch (outcome) {
    case ProbeResult::Outcome::kAttenuator:
      return "attenuator";
    case ProbeResult::Outcome::kNotPermitted:
      return "not permitted";
    case ProbeResult::Outcome::kBusy:
      return "busy";
    case ProbeResult::Outcome::kRefused:
      return "refused";
    case ProbeResult::Outcome::kNoAnswer:
      break;
  }
  return "no answer";
}

ProbeResult Probe(const TORVEK::SerialPortInfo& port, TORVEK::AttenuatorHandler& handler,
                  int timeout_ms) {
  ProbeResult result;
  if (!port.may_open) {
    result.outcome = ProbeResult::Outcome::kNotPermitted;
    result.detail = std::strerror(port.open_error);
    return result;
  }
  const PortUse use = CheckPortUse(port);
  if (use.state != PortUse::State::kFree) {
    result.outcome = use.state == PortUse::State::kUnusable ? ProbeResult::Outcome::kRefused
                                                            : ProbeResult::Outcome::kBusy;
    result.detail = use.detail;
    return result;
  }
  if (Interrupted())
    return result;
  using TORVEK::ConnectResult;
  const ConnectResult connected = handler.Connect(port.open_path, TORVEK::kConnectAttempts);
  switch (connected) {
    case ConnectResult::Connected:
      break;
    case ConnectResult::AccessDenied:
      result.outcome = ProbeResult::Outcome::kNotPermitted;
      return result;
    case ConnectResult::PortBusy:
      result.outcome = ProbeResult::Outcome::kBusy;
      result.detail = "another program holds it";
      return result;
    case ConnectResult::NoSuchPort:
    case ConnectResult::NotASerialPort:
    case ConnectResult::PortUnavailable:
      result.outcome = ProbeResult::Outcome::kRefused;
      result.detail = TORVEK::StatusName(connected);
      return result;
    default:
      return result;  // nothing identified itself
  }
  const int status = handler.GetMotorInfo(&result.info, timeout_ms);
  handler.Disconnect();
  if (status == TORVEK::Ok) {
    result.outcome = ProbeResult::Outcome::kAttenuator;
  } else {
    result.detail = "it identified itself, then its record did not come: " + ResultWord(status);
  }
  return result;
}

}  // namespace torvek::ctl
