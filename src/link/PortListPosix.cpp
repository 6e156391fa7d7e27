#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <utility>

#include "link/PortList.h"

namespace TORVEK {
namespace {

std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    }
    ::closedir(dir);
  }
  return names;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// A sysfs attribute: its first line, without the line end.
std::string Attribute(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
    line.pop_back();
  }
  return line;
}

// What the symlink `link` points at; empty when it is none.
std::string LinkTarget(const std::string& link) {
  char target[PATH_MAX];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
}

std::string LastComponent(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

std::string RealPath(const std::string& path) {
  char real[PATH_MAX];
  return ::realpath(path.c_str(), real) != nullptr ? real : "";
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// A kernel makes a ttyS for every UART it might have; only those with a device behind them
// exist, and of the 8250 kind only those whose probe found a chip (type not 0, "unknown").
bool IsOnBoardUart(const std::string& name) {
  if (!StartsWith(name, "ttyS") && !StartsWith(name, "ttyAMA")) {
    return false;
  }
  const std::string sys = UnderSysRoot("/sys/class/tty/" + name);
  if (!Exists(sys + "/device")) {
    return false;
  }
  return Attribute(sys + "/type") != "0";
}

// From the port's device up the sysfs tree: the first driver on the way, and the USB device's
// attributes when it is on a USB bus. A USB adapter's port device keeps its latency timer.
void ReadSysfs(const std::string& name, SerialPortInfo* port) {
  const std::string timer =
      Attribute(UnderSysRoot("/sys/class/tty/" + name + "/device/latency_timer"));
  if (!timer.empty() && std::all_of(timer.begin(), timer.end(),
                                    [](unsigned char c) { return std::isdigit(c) != 0; })) {
    port->latency_timer_ms = std::atoi(timer.c_str());
  }
  const std::string sys = RealPath(UnderSysRoot("/sys"));
  std::string dir = RealPath(UnderSysRoot("/sys/class/tty/" + name + "/device"));
  for (int depth = 0;
       depth < 8 && !sys.empty() && dir.size() > sys.size() && dir.compare(0, sys.size(), sys) == 0;
       ++depth) {
    // Newer kernels put the serial core's own port and controller devices between the tty
    // and the device of the UART; their drivers say nothing about the hardware.
    const std::string driver = LinkTarget(dir + "/driver");
    if (port->driver.empty() && driver.find("/serial-base/") == std::string::npos) {
      port->driver = LastComponent(driver);
    }
    if (Exists(dir + "/idVendor")) {
      port->vendor_id = Attribute(dir + "/idVendor");
      port->product_id = Attribute(dir + "/idProduct");
      port->serial = Attribute(dir + "/serial");
      port->manufacturer = Attribute(dir + "/manufacturer");
      port->product = Attribute(dir + "/product");
      return;
    }
    dir.erase(dir.rfind('/'));
  }
}

// The name of the group the port belongs to (its number when it has no name).
std::string OwningGroup(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    return "";
  }
  const group* g = ::getgrgid(st.st_gid);
  return g != nullptr ? g->gr_name : std::to_string(st.st_gid);
}

// The process a lock file names: ten ASCII digits in the usual format, a binary int in the
// old one. 0 when there is no such file or it names nothing.
long LockOwner(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.empty()) {
    return 0;
  }
  char* end = nullptr;
  const long pid = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str()) {
    return pid;
  }
  if (text.size() == sizeof(int)) {
    int binary = 0;
    std::memcpy(&binary, text.data(), sizeof binary);
    return binary;
  }
  return 0;
}

bool Alive(long pid) {
  // A number pid_t cannot hold names no process (cast, it could name all of them: -1).
  return pid > 0 && pid <= std::numeric_limits<pid_t>::max() &&
         (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// Serial terminal programs leave a lock file for the port they use, under its tty name or one
// of its by-id names; one that names a live process says who holds the port.
std::string LiveLock(const SerialPortInfo& port) {
  std::vector<std::string> names{port.path};
  names.insert(names.end(), port.by_id.begin(), port.by_id.end());
  for (const char* directory : {"/var/lock", "/run/lock"}) {
    for (const std::string& path : names) {
      const std::string file = std::string(directory) + "/LCK.." + LastComponent(path);
      const long pid = LockOwner(UnderSysRoot(file));
      if (Alive(pid)) {
        return "process " + std::to_string(pid) + " (" + file + ")";
      }
    }
  }
  return "";
}

// What the system tells of the port: sysfs for a tty of its own, and for any port whether this
// user may open it, and who holds it.
void Describe(const std::string& tty_name, SerialPortInfo* port) {
  if (!tty_name.empty()) {
    ReadSysfs(tty_name, port);
  }
  if (::access(port->open_path.c_str(), R_OK | W_OK) != 0) {
    port->may_open = false;
    port->open_error = errno;
    port->group = OwningGroup(port->open_path);
  }
  port->locked_by = LiveLock(*port);
}

}  // namespace

std::string UnderSysRoot(const std::string& path) {
  const char* root = std::getenv("TORVEK_ATTENUATOR_SYSROOT");
  if (root == nullptr || *root == '\0') {
    return path;
  }
  std::string prefix = root;
  while (prefix.size() > 1 && prefix.back() == '/') {
    prefix.pop_back();
  }
  return prefix + path;
}

std::vector<SerialPortInfo> EnumerateSerialPorts() {
  const std::string dev = UnderSysRoot("/dev");
  std::set<std::string> names;
  for (const std::string& name : Entries(dev)) {
    if ((StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM") || IsOnBoardUart(name)) &&
        Exists(dev + "/" + name)) {
      names.insert(name);
    }
  }
  // A by-id link may lead to an adapter whose driver names its ttys otherwise.
  std::vector<std::pair<std::string, std::string>> links;  // tty name, link
  for (const std::string& link : Entries(dev + "/serial/by-id")) {
    const std::string target = LastComponent(LinkTarget(dev + "/serial/by-id/" + link));
    if (!target.empty() && Exists(dev + "/" + target)) {
      names.insert(target);
      links.emplace_back(target, "/dev/serial/by-id/" + link);
    }
  }
  std::sort(links.begin(), links.end());

  std::vector<SerialPortInfo> ports;
  for (const std::string& name : names) {
    SerialPortInfo port;
    port.path = "/dev/" + name;
    port.open_path = UnderSysRoot(port.path);
    for (const auto& [tty, link] : links) {
      if (tty == name) {
        port.by_id.push_back(link);
      }
    }
    Describe(name, &port);
    ports.push_back(std::move(port));
  }
  return ports;
}

SerialPortInfo DescribeOnePort(const std::string& name) {
  SerialPortInfo port;
  port.path = name;
  port.open_path = name;
  // A by-id link leads to the tty whose sysfs entry tells about it: followed link by link
  // until a node of /dev, which may itself lead on (to a pseudo-terminal, say).
  const std::filesystem::path dev = std::filesystem::path(UnderSysRoot("/dev")).lexically_normal();
  std::filesystem::path at = std::filesystem::path(name).lexically_normal();
  std::string tty;
  for (int links = 0; links < 8 && tty.empty(); ++links) {
    if (at.parent_path() == dev) {
      tty = at.filename().string();
      break;
    }
    const std::string target = LinkTarget(at.string());
    if (target.empty()) {
      break;
    }
    at = (at.parent_path() / target).lexically_normal();
  }
  if (!tty.empty()) {
    port.path = "/dev/" + tty;
  }
  Describe(tty, &port);
  return port;
}

}  // namespace TORVEK
