#include "Output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "Interrupt.h"

namespace ctl {
namespace {

void PrintError(const std::string& command, const std::string& message, const std::string& hint) {
  std::fprintf(stderr, "attenuatorctl %s: %s\n", command.c_str(), message.c_str());
  if (!hint.empty())
    std::fprintf(stderr, "  hint: %s\n", hint.c_str());
}

// The reason the first write to stdout failed; a later flush with nothing left to write no longer
// knows it.
int g_output_error = 0;

}  // namespace

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
      failed ? HintFor(report.status, style.timeout_ms, report.refusal, report.port_gone) : "";
  if (style.json) {
    JsonObject json;
    json.String("command", command).String("result", word).Integer("status", report.status);
    json.Merge(report.json);
    if (!hint.empty())
      json.String("hint", hint);
    std::printf("%s\n", json.Text().c_str());
  } else {
    for (const std::string& line : report.lines)
      std::printf("%s\n", line.c_str());
  }
  FlushStdout();
  if (failed)
    PrintError(command, word, hint);
  return ExitCodeFor(report.status);
}

int EmitFailure(const std::string& command, const Failure& failure, const OutputStyle& style) {
  if (style.json) {
    JsonObject json;
    json.String("command", command)
        .String("result", "error")
        .String("error", failure.message)
        .String("hint", failure.hint)
        .Integer("exit_code", failure.exit_code);
    std::printf("%s\n", json.Text().c_str());
    FlushStdout();
  }
  PrintError(command, failure.message, failure.hint);
  return failure.exit_code;
}

int EmitInterrupted(const std::string& command, const std::optional<int>& stop_status,
                    const OutputStyle& style) {
  std::string stop_hint;
  if (stop_status && *stop_status != TORVEK::Ok)
    stop_hint =
        "the device did not confirm the stop: check it with attenuatorctl status and "
        "attenuatorctl position";
  if (style.json) {
    JsonObject json;
    json.String("command", command)
        .String("result", "interrupted")
        .Integer("status", TORVEK::ReplyTimeout);
    if (stop_status)
      json.String("stop", ResultWord(*stop_status));
    if (!stop_hint.empty())
      json.String("hint", stop_hint);
    json.Integer("exit_code", kExitInterrupted);
    std::printf("%s\n", json.Text().c_str());
    FlushStdout();
  }
  std::string message = "interrupted: the wait for the device was cut short";
  if (stop_status)
    message += "; Stop sent: " + ResultWord(*stop_status);
  PrintError(command, message, stop_hint);
  return kExitInterrupted;
}

}  // namespace ctl
