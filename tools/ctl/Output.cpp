#include "Output.h"

#include <cstdarg>
#include <cstdio>

namespace ctl {
namespace {

void PrintError(const std::string& command, const std::string& message, const std::string& hint) {
  std::fprintf(stderr, "attenuatorctl %s: %s\n", command.c_str(), message.c_str());
  if (!hint.empty())
    std::fprintf(stderr, "  hint: %s\n", hint.c_str());
}

}  // namespace

std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

int Emit(const std::string& command, const Report& report, const OutputStyle& style) {
  const bool failed = report.status != 0 && !report.status_is_answer;
  const std::string word = ResultWord(report.status);
  const std::string hint = failed ? HintFor(report.status, style.timeout_ms) : "";
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
  std::fflush(stdout);
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
    std::fflush(stdout);
  }
  PrintError(command, failure.message, failure.hint);
  return failure.exit_code;
}

}  // namespace ctl
