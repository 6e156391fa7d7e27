#pragma once

#include <string>

#include <torvek/AttenuatorHandler.h>

namespace torvek::ctl {

// Whether a port may be probed without disturbing another program that uses it, as far as the
// system shows: serial tools honour lock files, and a program may hold the port in exclusive
// mode. A program that does neither cannot be seen.
struct PortUse {
  enum class State {
    kFree,
    kLocked,     // a lock file names a live process
    kExclusive,  // opening it gives EBUSY: another program holds it in exclusive mode
    kUnusable,   // it cannot be opened, or is no terminal
  };
  State state = State::kFree;
  std::string detail;  // which lock file and process, or why it cannot be used
};

// Opens the port for a moment (non-blocking, never as the controlling terminal) to see. On
// Windows, where opening is exclusive and the library's Connect finds out, always kFree.
PortUse CheckPortUse(const TORVEK::SerialPortInfo& port);

}  // namespace torvek::ctl
