#include "Session.h"

#include <exception>

#include "PortCheck.h"
#ifdef TORVEK_CTL_SIMULATOR
#include "Simulation.h"
#endif

namespace torvek::ctl {

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
    if (std::optional<Failure> problem = CheckPort(port)) {
      *failure = *problem;
      return nullptr;
    }
    session->port_ = port;
  }
  // The device must identify itself within 100 ms of the request, a window that a host busy
  // with other work (or the simulator sharing its CPU) misses now and then.
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    if (session->handler_.Connect(session->port_))
      return session;
  }
  *failure = NoDeviceFailure(session->port_);
  return nullptr;
}

}  // namespace torvek::ctl
