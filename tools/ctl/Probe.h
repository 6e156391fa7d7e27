#pragma once

#include <string>

#include <torvek/AttenuatorHandler.h>

namespace torvek::ctl {

// What a port said when asked who is there.
struct ProbeResult {
  enum class Outcome {
    kAttenuator,    // it identified itself and sent its record
    kNotPermitted,  // this user may not open it: not tried
    kBusy,          // another program uses it: not tried
    kRefused,       // it cannot be opened, or is no serial port
    kNoAnswer,      // nothing identified itself
  };
  Outcome outcome = Outcome::kNoAnswer;
  std::string detail;      // why busy or refused, what went wrong after the identification
  TORVEK::MotorInfo info;  // for kAttenuator
};

// Probes writes to the port: only done when the user asks for it. Connects `handler` (tried
// as often as a session tries) and reads the identification record and scale, then
// disconnects; a port someone else is seen to use is left alone.
ProbeResult Probe(const TORVEK::SerialPortInfo& port, TORVEK::AttenuatorHandler& handler,
                  int timeout_ms);

// The outcome as one word or two: "attenuator", "busy", "no answer", ...
std::string OutcomeWord(ProbeResult::Outcome outcome);

}  // namespace torvek::ctl
