#include "Session.h"

#include <exception>

#include "Interrupt.h"

#ifdef TORVEK_CTL_SIMULATOR
#include "Simulation.h"
#endif

namespace torvek::ctl {
namespace {

// Why Connect said no, in words, with the library's hint and what this machine adds to it.
Failure ConnectFailure(const std::string& port, TORVEK::ConnectResult why) {
  using TORVEK::ConnectResult;
  Failure f{kExitNoConnection, "", TORVEK::StatusHint(why)};
  const std::string advice = TORVEK::PortAdvice(port, why);
  if (!advice.empty())
    f.hint += "; " + advice;
  switch (why) {
    case ConnectResult::NoSuchPort:
      f.message = "no such port: " + port;
      break;
    case ConnectResult::AccessDenied:
      f.message = "permission denied on " + port;
      break;
    case ConnectResult::PortBusy:
      f.message = port + " is busy";
      break;
    case ConnectResult::AmbiguousPort:
      f.message = "more than one port is " + port;
      break;
    case ConnectResult::NotASerialPort:
      f.message = port + " is not a serial device";
      break;
    case ConnectResult::NoIdentification:
      f.message = "no attenuator answered on " + port;
      break;
    case ConnectResult::BadIdentification:
      f.message = "something answered on " + port + ", but not an attenuator";
      break;
    case ConnectResult::Cancelled:
      f.exit_code = kExitInterrupted;
      f.message = "interrupted while connecting to " + port;
      break;
    case ConnectResult::PortUnavailable:
    case ConnectResult::Connected:
      f.message = "cannot use " + port;
      break;
  }
  return f;
}

}  // namespace

std::unique_ptr<Session> Session::Open(const std::string& port, bool simulate, Failure* failure) {
  auto session = std::unique_ptr<Session>(new Session);
  if (simulate) {
#ifdef TORVEK_CTL_SIMULATOR
    try {
      session->simulator_ = StartSimulation();
    } catch (const std::exception& e) {
      *failure = Failure{kExitInternal, std::string("cannot start the simulator: ") + e.what(),
                         "the simulator needs a free pseudo-terminal (/dev/ptmx)"};
      return nullptr;
    }
    session->port_ = session->simulator_->Port();
#else
    *failure = Failure{kExitUsage, "--simulate is not available on this system",
                       "run attenuator-sim on a Linux machine, or give --port"};
    return nullptr;
#endif
  } else {
    if (port.empty()) {
      *failure = Failure{kExitUsage, "no port given",
                         "--port /dev/ttyUSB0 (COM3 on Windows), or --simulate to try it "
                         "without a device"};
      return nullptr;
    }
    session->port_ = port;
  }
  const TORVEK::ConnectResult result =
      session->handler_.Connect(session->port_, TORVEK::kConnectAttempts);
  if (result == TORVEK::ConnectResult::Connected)
    return session;
  *failure = ConnectFailure(session->port_, result);
  return nullptr;
}

}  // namespace torvek::ctl
