#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <tuple>

#include "link/PortList.h"

namespace TORVEK {
namespace {

// An identity as `usb:` names give it: hex ids, the serial as the adapter reports it.
struct UsbIdentity {
  std::string vendor_id;
  std::string product_id;
  std::string serial;  // empty: any
};

bool IsHexId(const std::string& text) {
  return text.size() == 4 && std::all_of(text.begin(), text.end(),
                                         [](unsigned char c) { return std::isxdigit(c) != 0; });
}

// "usb:VID:PID" or "usb:VID:PID:SERIAL"; nothing for any other name. The serial may hold
// colons of its own.
bool ParseUsbName(const std::string& name, UsbIdentity* identity, bool* malformed) {
  *malformed = false;
  if (name.compare(0, 4, "usb:") != 0) {
    return false;
  }
  const std::size_t second = name.find(':', 4);
  const std::size_t third = second == std::string::npos ? second : name.find(':', second + 1);
  identity->vendor_id = Lower(name.substr(4, second == std::string::npos ? second : second - 4));
  identity->product_id =
      second == std::string::npos
          ? ""
          : Lower(name.substr(second + 1, third == std::string::npos ? third : third - second - 1));
  identity->serial = third == std::string::npos ? "" : name.substr(third + 1);
  *malformed = !IsHexId(identity->vendor_id) || !IsHexId(identity->product_id) ||
               (third != std::string::npos && identity->serial.empty());
  return true;
}

}  // namespace

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool PortNameOrder(const std::string& a, const std::string& b) {
  const auto split = [](const std::string& s) {
    std::size_t i = s.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) {
      --i;
    }
    return std::make_tuple(s.substr(0, i), s.size() - i, s.substr(i));
  };
  return split(a) < split(b);
}

std::vector<SerialPortInfo> ListSerialPorts() {
  std::vector<SerialPortInfo> ports = EnumerateSerialPorts();
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return PortNameOrder(a.path, b.path);
  });
  return ports;
}

std::string PortAdvice(const std::string& port_name, ConnectResult result) {
  if (result == ConnectResult::NoSuchPort) {
    std::string present;
    for (const SerialPortInfo& port : ListSerialPorts()) {
      present += " " + port.path;
      for (const std::string& link : port.by_id) {
        present += " " + link;
      }
    }
    return present.empty() ? "there is no serial port now (to try without a device, use the "
                             "simulator: attenuator-sim, or attenuatorctl --simulate)"
                           : "ports present:" + present;
  }
  if (result == ConnectResult::AccessDenied) {
    const std::string group = DescribePort(port_name).group;
    if (!group.empty()) {
      return "the port belongs to group '" + group + "': sudo usermod -aG " + group +
             " \"$USER\", then log out and in again";
    }
  }
  return "";
}

SerialPortInfo DescribePort(const std::string& name) {
  std::string path;
  if (ResolvePortName(name, &path) != ConnectResult::Connected) {
    SerialPortInfo nowhere;
    nowhere.path = nowhere.open_path = name;
    nowhere.may_open = false;
    nowhere.open_error = ENOENT;
    return nowhere;
  }
  return DescribeOnePort(path);
}

ConnectResult ResolvePortName(const std::string& name, std::string* path) {
  UsbIdentity wanted;
  bool malformed = false;
  if (!ParseUsbName(name, &wanted, &malformed)) {
    if (path != nullptr) {
      *path = name;
    }
    return ConnectResult::Connected;
  }
  if (malformed) {
    return ConnectResult::NoSuchPort;
  }
  std::vector<std::string> found;
  for (const SerialPortInfo& port : ListSerialPorts()) {
    if (Lower(port.vendor_id) == wanted.vendor_id && Lower(port.product_id) == wanted.product_id &&
        (wanted.serial.empty() || port.serial == wanted.serial)) {
      found.push_back(port.open_path);
    }
  }
  if (found.empty()) {
    return ConnectResult::NoSuchPort;
  }
  if (found.size() > 1) {
    return ConnectResult::AmbiguousPort;
  }
  if (path != nullptr) {
    *path = found.front();
  }
  return ConnectResult::Connected;
}

}  // namespace TORVEK
