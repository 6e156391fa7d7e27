#include "PortBusy.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace torvek::ctl {

PortUse CheckPortUse(const TORVEK::SerialPortInfo& port) {
  PortUse use;
  if (!port.locked_by.empty()) {
    use.state = PortUse::State::kLocked;
    use.detail = "locked by " + port.locked_by;
    return use;
  }
#ifndef _WIN32
  const int fd = open(port.open_path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    use.state = error == EBUSY ? PortUse::State::kExclusive : PortUse::State::kUnusable;
    use.detail = error == EBUSY ? "another program holds it in exclusive mode"
                                : std::string("cannot open it: ") + std::strerror(error);
    return use;
  }
  if (!isatty(fd)) {
    use.state = PortUse::State::kUnusable;
    use.detail = "not a terminal device";
  }
  close(fd);
#else
  (void)port;
#endif
  return use;
}

}  // namespace torvek::ctl
