#pragma once

#include <string>
#include <vector>

#include "Json.h"
#include "Results.h"

namespace ctl {

// What one command found out, for people (lines on stdout) and for scripts (JSON members).
struct Report {
  int status = 0;  // an AttenuatorStatus
  // For `status` a device code is the answer asked for, not a failure to explain.
  bool status_is_answer = false;
  std::vector<std::string> lines;
  JsonObject json;
};

struct OutputStyle {
  bool json = false;
  int timeout_ms = 0;
};

// Prints the report (a failure with its hint on stderr) and returns the exit code.
int Emit(const std::string& command, const Report& report, const OutputStyle& style);
int EmitFailure(const std::string& command, const Failure& failure, const OutputStyle& style);

// printf into a std::string.
std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace ctl
