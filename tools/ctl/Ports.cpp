#include "Ports.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <tuple>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <set>

#include "PortCheck.h"
#endif

namespace torvek::ctl {
namespace {

// ttyUSB10 after ttyUSB2, COM10 after COM3: the digits at the end of a name count as a number.
bool NameOrder(const std::string& a, const std::string& b) {
  const auto split = [](const std::string& s) {
    std::size_t i = s.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1])))
      --i;
    return std::make_tuple(s.substr(0, i), s.size() - i, s.substr(i));
  };
  return split(a) < split(b);
}

#ifndef _WIN32
std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..")
        names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// A sysfs attribute: its first line, without the line end.
std::string Attribute(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
    line.pop_back();
  return line;
}

// What the symlink `link` points at; empty when it is none.
std::string LinkTarget(const std::string& link) {
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
}

std::string LastComponent(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

std::string RealPath(const std::string& path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) != nullptr ? real : "";
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// A kernel makes a ttyS for every UART it might have; only those with a device behind them
// exist, and of the 8250 kind only those whose probe found a chip (type not 0, "unknown").
bool IsOnBoardUart(const std::string& name) {
  if (!StartsWith(name, "ttyS") && !StartsWith(name, "ttyAMA"))
    return false;
  const std::string sys = UnderSysRoot("/sys/class/tty/" + name);
  if (!Exists(sys + "/device"))
    return false;
  const std::string type = Attribute(sys + "/type");
  return type != "0";
}

// From the port's device up the sysfs tree: the first driver on the way, and the USB device's
// attributes when it is on a USB bus.
void ReadSysfs(const std::string& name, SerialPort* port) {
  const std::string sys = RealPath(UnderSysRoot("/sys"));
  std::string dir = RealPath(UnderSysRoot("/sys/class/tty/" + name + "/device"));
  for (int depth = 0;
       depth < 8 && !sys.empty() && dir.size() > sys.size() && dir.compare(0, sys.size(), sys) == 0;
       ++depth) {
    // Newer kernels put the serial core's own port and controller devices between the tty
    // and the device of the UART; their drivers say nothing about the hardware.
    const std::string driver = LinkTarget(dir + "/driver");
    if (port->driver.empty() && driver.find("/serial-base/") == std::string::npos)
      port->driver = LastComponent(driver);
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
#endif

}  // namespace

std::string UnderSysRoot(const std::string& path) {
  const char* root = std::getenv("TORVEK_ATTENUATOR_SYSROOT");
  if (root == nullptr || *root == '\0')
    return path;
  std::string prefix = root;
  while (prefix.size() > 1 && prefix.back() == '/')
    prefix.pop_back();
  return prefix + path;
}

#ifdef _WIN32
// The COM names Windows has handed out, from the registry where the serial drivers enter them.
std::vector<SerialPort> ListSerialPorts() {
  std::vector<SerialPort> ports;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return ports;
  for (DWORD i = 0;; ++i) {
    char device[256];
    DWORD device_size = sizeof device;
    BYTE data[256] = {};
    DWORD data_size = sizeof data - 1;
    DWORD type = 0;
    const LONG result =
        RegEnumValueA(key, i, device, &device_size, nullptr, &type, data, &data_size);
    if (result == ERROR_NO_MORE_ITEMS)
      break;
    if (result != ERROR_SUCCESS || type != REG_SZ)
      continue;
    SerialPort port;
    port.path = reinterpret_cast<const char*>(data);
    port.open_path = port.path;
    port.system_name = device;
    ports.push_back(port);
  }
  RegCloseKey(key);
  std::sort(ports.begin(), ports.end(),
            [](const SerialPort& a, const SerialPort& b) { return NameOrder(a.path, b.path); });
  return ports;
}
#else
std::vector<SerialPort> ListSerialPorts() {
  const std::string dev = UnderSysRoot("/dev");
  std::set<std::string> names;
  for (const std::string& name : Entries(dev)) {
    if ((StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM") || IsOnBoardUart(name)) &&
        Exists(dev + "/" + name))
      names.insert(name);
  }
  // A by-id link may lead to an adapter whose driver names its ttys otherwise.
  std::vector<std::pair<std::string, std::string> > links;  // tty name, link
  for (const std::string& link : Entries(dev + "/serial/by-id")) {
    const std::string target = LastComponent(LinkTarget(dev + "/serial/by-id/" + link));
    if (!target.empty() && Exists(dev + "/" + target)) {
      names.insert(target);
      links.emplace_back(target, "/dev/serial/by-id/" + link);
    }
  }
  std::sort(links.begin(), links.end());

  std::vector<std::string> ordered(names.begin(), names.end());
  std::sort(ordered.begin(), ordered.end(), NameOrder);
  std::vector<SerialPort> ports;
  for (const std::string& name : ordered) {
    SerialPort port;
    port.path = "/dev/" + name;
    port.open_path = UnderSysRoot(port.path);
    for (const auto& [tty, link] : links)
      if (tty == name)
        port.by_id.push_back(link);
    ReadSysfs(name, &port);
    if (access(port.open_path.c_str(), R_OK | W_OK) != 0) {
      port.may_open = false;
      port.open_error = errno;
      port.group = OwningGroup(port.open_path);
    }
    ports.push_back(std::move(port));
  }
  return ports;
}
#endif

}  // namespace torvek::ctl
