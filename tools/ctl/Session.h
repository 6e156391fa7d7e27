#pragma once

#include <memory>
#include <string>

#include <torvek/AttenuatorHandler.h>

#include "Results.h"
#include "WireTap.h"

namespace torvek::ctl {

// A connected handler, on a real port or on the in-process simulator.
class Session {
 public:
  // Starts the simulator if asked to and connects, trying the identification as often as the
  // library's tools do. Null with *failure set, saying why, when that does not work out.
  static std::unique_ptr<Session> Open(const std::string& port, bool simulate, Failure* failure);

  TORVEK::AttenuatorHandler& Handler() { return handler_; }
  const std::string& Port() const { return port_; }
  // The line as the simulator sees it; null on a real port.
  WireTap* Tap() { return simulator_.get(); }

 private:
  std::unique_ptr<WireTap> simulator_;
  TORVEK::AttenuatorHandler handler_;  // after the simulator: disconnects before it stops
  std::string port_;
};

}  // namespace torvek::ctl
