#include "PortBusy.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#endif

namespace torvek::ctl {
namespace {

#ifndef _WIN32
// The process a lock file names: ten ASCII digits in the usual format, a binary int in the
// old one. 0 when there is no such file or it names nothing.
long LockOwner(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.empty())
    return 0;
  char* end = nullptr;
  const long pid = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str())
    return pid;
  if (text.size() == sizeof(int)) {
    int binary = 0;
    std::memcpy(&binary, text.data(), sizeof binary);
    return binary;
  }
  return 0;
}

bool Alive(long pid) {
  return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// A lock file for the tty or for one of its by-id names, that names a live process.
std::string LiveLock(const SerialPort& port) {
  std::vector<std::string> names{port.path};
  names.insert(names.end(), port.by_id.begin(), port.by_id.end());
  for (const char* directory : {"/var/lock", "/run/lock"}) {
    for (const std::string& path : names) {
      const std::string file = std::string(directory) + "/LCK.." + path.substr(path.rfind('/') + 1);
      const long pid = LockOwner(UnderSysRoot(file));
      if (Alive(pid))
        return "locked by process " + std::to_string(pid) + " (" + file + ")";
    }
  }
  return "";
}
#endif

}  // namespace

PortUse CheckPortUse(const SerialPort& port) {
  PortUse use;
#ifndef _WIN32
  use.detail = LiveLock(port);
  if (!use.detail.empty()) {
    use.state = PortUse::State::kLocked;
    return use;
  }
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
