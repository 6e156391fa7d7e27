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

ProbeResult Probe(const SerialPort& port, TORVEK::AttenuatorHandler& handler, int timeout_ms) {
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
  bool connected = false;
  for (int attempt = 0; attempt < kConnectAttempts && !connected && !Interrupted(); ++attempt)
    connected = handler.Connect(port.open_path);
  if (!connected)
    return result;
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
