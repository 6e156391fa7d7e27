#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
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
  const std::string timer = Attribute(UnderSysRoot("/sys/class/tty/" + name + "/device/latency_timer"));
  if (!timer.empty() && std::all_of(timer.begin(), timer.end(), [](unsigned char c) {
        return std::isdigit(c) != 0;
      })) {
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
    ReadSysfs(name, &port);
    if (::access(port.open_path.c_str(), R_OK | W_OK) != 0) {
      port.may_open = false;
      port.open_error = errno;
      port.group = OwningGroup(port.open_path);
    }
    ports.push_back(std::move(port));
  }
  return ports;
}

}  // namespace TORVEK
