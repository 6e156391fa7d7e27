#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "torvek_wiretext/Escape.h"

// The host's view of the line, for the first hour with a real device. With the environment
// variable TORVEK_ATTENUATOR_TRACE set to "stderr" or to a file path, every handler that
// connects logs each command, each reply as it arrived, the bytes the input purge discarded,
// the wait and the call's result, one line each:
//
//   <seconds> #<handler> <what> <text>
//
// <seconds> is the monotonic clock (CLOCK_MONOTONIC on Linux), the same clock on every process
// of the machine; <what> is six characters wide, as in the simulator's own trace ("host  ",
// "device", ...). Bytes are escaped: \r, \n, \\ and \xHH. Lines from several handlers and
// threads never mix: each is written whole under one process-wide lock.

namespace TORVEK {

struct TraceSink;  // one destination, shared by the handlers tracing there

class WireTrace {
 public:
  // The trace the environment asks for, or null: the variable unset or empty, or a destination
  // that cannot be opened (then one warning on stderr per destination and process, and no
  // trace; a call never fails for it).
  static std::unique_ptr<WireTrace> FromEnvironment(unsigned handler_number);

  // One line; `who` at most six characters.
  void Line(const char* who, std::string_view text);
  // `bytes` escaped.
  void Bytes(const char* who, std::string_view bytes);

 private:
  WireTrace(std::shared_ptr<TraceSink> sink, unsigned handler_number)
      : sink_(std::move(sink)), handler_(handler_number) {}

  std::shared_ptr<TraceSink> sink_;
  unsigned handler_;
};

}  // namespace TORVEK
