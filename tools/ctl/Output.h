#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Json.h"
#include "Results.h"

namespace torvek::ctl {

// What one command found out, for people (lines on stdout) and for scripts (JSON members).
struct Report {
  int status = 0;  // an AttenuatorStatus
  // For `status` a device code is the answer asked for, not a failure to explain.
  bool status_is_answer = false;
  std::vector<std::string> lines;
  JsonObject json;
  // What the arguments must be, for the hint when the library refused them; `accepted` says it
  // in words when it depends on the device.
  Refusal refusal = Refusal::kAny;
  std::string accepted;
};

struct OutputStyle {
  bool json = false;
  int timeout_ms = 0;
};

// Prints the report (a failure with its hint on stderr) and returns the exit code.
int Emit(const std::string& command, const Report& report, const OutputStyle& style);
// `details` adds to a failure what was found on the way: its lines go to stderr after the
// hint, its JSON members after the usual ones.
int EmitFailure(const std::string& command, const Failure& failure, const OutputStyle& style,
                const Report& details = Report());

// A command that Ctrl-C cut short: what it was doing, and for a motion the result of the Stop
// sent after it (none: no Stop was sent); `port` the device's, empty for the simulator. Returns
// the exit code, 130.
int EmitInterrupted(const std::string& command, const std::optional<int>& stop_status,
                    const std::string& port, const OutputStyle& style);

// With --json: the object a second Ctrl-C leaves on stdout when it ends `command` on the spot.
void SetInterruptedLastWords(const std::string& command, bool motion, const std::string& port);

// One JSON object on a line of stdout, flushed, whole even when Ctrl-C comes meanwhile.
void PrintJson(const JsonObject& json);

// Flushes stdout; false (with *error an errno value) when anything written to it since the start
// was lost, so that a full disk or a closed pipe is not reported as success.
bool FlushOutput(int* error);
// fflush(stdout) that keeps the reason of the first failure for FlushOutput.
void FlushStdout();

// printf into a std::string.
std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace torvek::ctl
