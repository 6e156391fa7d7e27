#pragma once

#include <string>

namespace torvek::ctl {

// Exit codes of attenuatorctl; scripts may rely on them.
enum ExitCode : int {
  kExitOk = 0,
  kExitDeviceStatus = 1,     // the device answered with a non-zero status code
  kExitUsage = 2,            // bad or missing option or argument
  kExitNoConnection = 3,     // port missing, not permitted, or no device identified itself
  kExitTimeout = 4,          // ReplyTimeout
  kExitUnexpectedReply = 5,  // UnexpectedReply
  kExitPortLost = 6,         // PortUnavailable
  kExitInvalidArgument = 7,  // InvalidArgument: the library refused the value, nothing was sent
  kExitInternal = 8,         // anything else (an exception, a simulator that could not start)
};

// An AttenuatorStatus in words: "Ok", "ReplyTimeout", ..., "device status 31".
std::string ResultWord(int status);
int ExitCodeFor(int status);
// What an operation's arguments must be for the library to send it, named in the
// InvalidArgument hint.
enum class Refusal {
  kAny,            // the operation is not known: every rule
  kDegrees,        // SetMotorDegree
  kSteps,          // SetMotorSteps
  kTransmittance,  // SetTransmittance and GetTransmittance
  kModel,          // the transmittance model's parameters alone
};

// What to check next when an operation ended with `status` (empty for Ok): the library's hint,
// with what this run adds to it (the time-out it gave, the values the operation accepts:
// `accepted`, or else those of `refusal`).
std::string HintFor(int status, int timeout_ms, Refusal refusal = Refusal::kAny,
                    const std::string& accepted = "");

// A failure that ends attenuatorctl before or around the device operations.
struct Failure {
  int exit_code = kExitInternal;
  std::string message;
  std::string hint;
};

}  // namespace torvek::ctl
