#include "Output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "Interrupt.h"

namespace torvek::ctl {
namespace {

void PrintError(const std::string& command, const std::string& message, const std::string& hint) {
  std::fprintf(stderr, "attenuatorctl%s%s: %s\n", command.empty() ? "" : " ", command.c_str(),
               message.c_str());
  if (!hint.empty())
    std::fprintf(stderr, "  hint: %s\n", hint.c_str());
}

// The reason the first write to stdout failed; a later flush with nothing left to write no longer
// knows it.
int g_output_error = 0;

}  // namespace

void PrintJson(const JsonObject& json) {
  const FinalOutput whole;
  std::printf("%s\n", json.Text().c_str());
  FlushStdout();
}

std::string WaitForTheDevice(const std::string& port) {
  return "the device may still be moving: it answers nothing else until the motion is over; "
         "wait for it with: until attenuatorctl --port " +
         port + " position; do sleep 1; done";
}

JsonObject InterruptedObject(const std::string& command) {
  JsonObject json;
  json.String("command", command)
      .String("result", "interrupted")
      .Integer("status", TORVEK::ReplyTimeout);
  return json;
}

void SetInterruptedLastWords(const std::string& command, bool motion, const std::string& port) {
  JsonObject json = InterruptedObject(command);
  if (motion && !port.empty())
    json.String("hint", "ended by a second Ctrl-C before the device confirmed the stop; " +
                            WaitForTheDevice(port));
  json.Integer("exit_code", kExitInterrupted);
  SetLastWords(json.Text() + "\n");
}

void FlushStdout() {
  errno = 0;
  if (std::fflush(stdout) != 0 && g_output_error == 0)
    g_output_error = errno != 0 ? errno : EIO;
}

std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

bool FlushOutput(int* error) {
  FlushStdout();
  if (g_output_error == 0 && !std::ferror(stdout))
    return true;
  *error = g_output_error != 0 ? g_output_error : EIO;
  return false;
}

int Emit(const std::string& command, const Report& report, const OutputStyle& style) {
  const bool failed = report.status != 0 && !report.status_is_answer;
  const std::string word = ResultWord(report.status);
  const std::string hint =
      failed ? HintFor(report.status, style.timeout_ms, report.refusal, report.accepted) : "";
  if (style.json) {
    JsonObject json;
    json.String("command", command).String("result", word).Integer("status", report.status);
    json.Merge(report.json);
    if (!hint.empty())
      json.String("hint", hint);
    PrintJson(json);
  } else {
    for (const std::string& line : report.lines)
      std::printf("%s\n", line.c_str());
  }
  if (!style.json)
    FlushStdout();
  if (failed)
    PrintError(command, word, hint);
  return ExitCodeFor(report.status);
}

int EmitFailure(const std::string& command, const Failure& failure, const OutputStyle& style,
                const Report& details) {
  if (style.json) {
    JsonObject json;
    json.String("command", command)
        .String("result", "error")
        .String("error", failure.message)
        .String("hint", failure.hint)
        .Integer("exit_code", failure.exit_code)
        .Merge(details.json);
    PrintJson(json);
  }
  PrintError(command, failure.message, failure.hint);
  if (!style.json)
    for (const std::string& line : details.lines)
      std::fprintf(stderr, "%s\n", line.c_str());
  return failure.exit_code;
}

int EmitInterrupted(const std::string& command, const std::optional<int>& stop_status,
                    const std::string& port, const OutputStyle& style) {
  // A Stop unanswered may not have reached the device, or its answer was lost: the mount may
  // still be moving. A simulated device ended with the run.
  std::string stop_hint;
  if (stop_status && *stop_status != TORVEK::Ok)
    stop_hint = port.empty() ? "" : WaitForTheDevice(port);
  if (style.json) {
    JsonObject json = InterruptedObject(command);
    if (stop_status)
      json.String("stop", ResultWord(*stop_status));
    if (!stop_hint.empty())
      json.String("hint", stop_hint);
    json.Integer("exit_code", kExitInterrupted);
    PrintJson(json);
  }
  std::string message = "interrupted: the wait for the device was cut short";
  if (stop_status)
    message += "; Stop sent: " + ResultWord(*stop_status);
  PrintError(command, message, stop_hint);
  return kExitInterrupted;
}

}  // namespace torvek::ctl
