#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "DeviceServer.h"

namespace attsim {

// Bytes as a reader can see them on one line: printable ASCII as it is, CR and LF as \r and \n,
// a backslash doubled, anything else as \xHH.
std::string Escape(std::string_view bytes);

// Writes every command and reply to a stream as it crosses the line, one per line, with the
// seconds since the trace began:
//     0.104213 <- 0in
//     0.141507 -> 0IN0E1234ABCD01020304016800023000\r\n
//     0.151320 !! dropped reply
class WireTrace : public LineObserver {
 public:
  explicit WireTrace(std::FILE* out);

  void OnCommand(Clock::time_point when, const std::string& command) override;
  void OnSent(const Sent& sent) override;
  void Note(const std::string& text);

 private:
  void Line(Clock::time_point when, const char* arrow, const std::string& text);

  std::FILE* out_;
  const Clock::time_point start_;
  std::mutex mu_;
};

}  // namespace attsim
