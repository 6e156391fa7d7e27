#include "PortCheck.h"

#include <cerrno>
#include <cstring>

#ifndef _WIN32
#include <glob.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace torvek::ctl {
namespace {

#ifndef _WIN32
std::string SerialPortsPresent() {
  std::string list;
  for (const char* pattern : {"/dev/ttyUSB*", "/dev/ttyACM*", "/dev/serial/by-id/*"}) {
    glob_t found{};
    if (glob(pattern, 0, nullptr, &found) == 0) {
      for (std::size_t i = 0; i < found.gl_pathc; ++i)
        list += std::string(list.empty() ? "" : " ") + found.gl_pathv[i];
    }
    globfree(&found);
  }
  return list;
}

#endif

}  // namespace

std::string OwningGroup(const std::string& port) {
#ifndef _WIN32
  struct stat st;
  if (stat(port.c_str(), &st) != 0)
    return "";
  const group* g = getgrgid(st.st_gid);
  return g != nullptr ? g->gr_name : std::to_string(st.st_gid);
#else
  (void)port;
  return "";
#endif
}

std::string JoinGroupHint(const std::string& port) {
  const std::string group = OwningGroup(port);
  return group.empty() ? "you may not open it; ask for access to the port"
                       : "the port belongs to group '" + group + "': sudo usermod -aG " + group +
                             " \"$USER\", then log out and in again";
}

Failure PortFailure(const std::string& port, int error) {
  Failure f;
  f.exit_code = kExitNoConnection;
#ifndef _WIN32
  if (error == ENOENT || error == ENOTDIR) {
    const std::string present = SerialPortsPresent();
    f.message = "no such port: " + port;
    f.hint = present.empty() ? "no serial adapter is plugged in (no /dev/ttyUSB*, /dev/ttyACM*); "
                               "to try without one, use --simulate"
                             : "is the device plugged in? Ports present: " + present;
    return f;
  }
  if (error == EACCES || error == EPERM) {
    f.message = "permission denied on " + port;
    f.hint = JoinGroupHint(port);
    return f;
  }
#endif
  f.message = "cannot use " + port + ": " + std::strerror(error);
  f.hint = "check the port name";
  return f;
}

Failure NoDeviceFailure(const std::string& port) {
  Failure f;
  f.exit_code = kExitNoConnection;
  f.message = "no attenuator answered on " + port;
  f.hint =
      "the port could not be opened, or nothing identified itself within 100 ms: check "
      "that the device is powered, that this is its port, and that no other program "
      "holds it";
  return f;
}

std::optional<Failure> CheckPort(const std::string& port) {
#ifndef _WIN32
  if (access(port.c_str(), F_OK) != 0)
    return PortFailure(port, errno);
  if (access(port.c_str(), R_OK | W_OK) != 0)
    return PortFailure(port, errno);
#else
  (void)port;
#endif
  return std::nullopt;
}

}  // namespace torvek::ctl
