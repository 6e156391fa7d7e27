#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace torvek::ctl {

struct WireEvent {
  std::chrono::steady_clock::time_point when;
  bool from_host = false;  // a command; otherwise bytes the device sent
  std::string bytes;
};

// A view of the line, where one can be had: only the in-process simulator offers it.
class WireTap {
 public:
  virtual ~WireTap() = default;
  // The slave path the library opens.
  virtual const std::string& Port() const = 0;
  // Everything that crossed the line since the last call, oldest first. Waits briefly for the
  // device to finish writing replies the host has already read.
  virtual std::vector<WireEvent> Take() = 0;
};

}  // namespace torvek::ctl
