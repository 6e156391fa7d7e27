#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "DeviceServer.h"

namespace torvek::sim {

// Writes every command and reply to a stream as it crosses the line, one per line, with the
// seconds since the trace began, and what the fault injector did:
//     0.104213 host   0in
//     0.141507 device 0IN0E1234ABCD01020304016800023000\r\n
//     0.151320 fault  dropped reply
class WireTrace : public LineObserver {
 public:
  explicit WireTrace(std::FILE* out);

  void OnCommand(Clock::time_point when, const std::string& command) override;
  void OnSent(const Sent& sent) override;
  void Note(const std::string& text);

 private:
  void Line(Clock::time_point when, const char* who, const std::string& text);

  std::FILE* out_;
  const Clock::time_point start_;
  std::mutex mu_;
};

}  // namespace torvek::sim
