#include <windows.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "link/PortList.h"

// COM names come from HARDWARE\DEVICEMAP\SERIALCOMM, where the serial drivers enter the ports
// that are there now. The USB identity of a port is where Plug and Play recorded the device
// that got that COM name: under Enum\USB\VID_xxxx&PID_yyyy\<serial or instance>, or, for the
// adapters whose vendor driver enumerates its own bus, under Enum\FTDIBUS\VID_xxxx+PID_yyyy+
// <serial>\0000, each with "Device Parameters\PortName".

namespace TORVEK {
namespace {

struct UsbRecord {
  std::string vendor_id;
  std::string product_id;
  std::string serial;
};

std::vector<std::string> SubKeys(HKEY key) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(name, size);
  }
  return names;
}

std::string PortNameOf(HKEY instance) {
  char value[64] = {};
  DWORD size = sizeof value - 1;
  DWORD type = 0;
  if (RegGetValueA(instance, "Device Parameters", "PortName", RRF_RT_REG_SZ, &type, value, &size) !=
      ERROR_SUCCESS) {
    return "";
  }
  return value;
}

// "VID_0403&PID_6001&MI_00" or "VID_0403+PID_6001+TA0001A": the two ids, and what follows.
bool ParseIds(const std::string& key, char separator, UsbRecord* record, std::string* rest) {
  if (key.size() < 17 || key.compare(0, 4, "VID_") != 0 || key[8] != separator ||
      key.compare(9, 4, "PID_") != 0) {
    return false;
  }
  record->vendor_id = Lower(key.substr(4, 4));
  record->product_id = Lower(key.substr(13, 4));
  *rest = key.size() > 18 ? key.substr(18) : "";
  return true;
}

// COM name -> the USB identity Plug and Play recorded for it.
std::map<std::string, UsbRecord> UsbIdentities() {
  std::map<std::string, UsbRecord> found;
  HKEY bus;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\USB", 0, KEY_READ,
                    &bus) == ERROR_SUCCESS) {
    for (const std::string& device : SubKeys(bus)) {
      UsbRecord record;
      std::string rest;
      HKEY device_key;
      if (!ParseIds(device, '&', &record, &rest) ||
          RegOpenKeyExA(bus, device.c_str(), 0, KEY_READ, &device_key) != ERROR_SUCCESS) {
        continue;
      }
      for (const std::string& instance : SubKeys(device_key)) {
        HKEY instance_key;
        if (RegOpenKeyExA(device_key, instance.c_str(), 0, KEY_READ, &instance_key) !=
            ERROR_SUCCESS) {
          continue;
        }
        const std::string port = PortNameOf(instance_key);
        if (!port.empty()) {
          UsbRecord with_serial = record;
          // An instance name with '&' is one Windows made up, not the adapter's serial.
          with_serial.serial = instance.find('&') == std::string::npos ? instance : "";
          found[port] = with_serial;
        }
        RegCloseKey(instance_key);
      }
      RegCloseKey(device_key);
    }
    RegCloseKey(bus);
  }
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS", 0, KEY_READ,
                    &bus) == ERROR_SUCCESS) {
    for (const std::string& device : SubKeys(bus)) {
      UsbRecord record;
      std::string rest;
      HKEY instance_key;
      if (!ParseIds(device, '+', &record, &rest) ||
          RegOpenKeyExA(bus, (device + "\\0000").c_str(), 0, KEY_READ, &instance_key) !=
              ERROR_SUCCESS) {
        continue;
      }
      const std::string port = PortNameOf(instance_key);
      if (!port.empty()) {
        // The adapter's serial with the letter of its port on a multi-port chip after it.
        record.serial = rest.size() > 1 ? rest.substr(0, rest.size() - 1) : rest;
        found[port] = record;
      }
      RegCloseKey(instance_key);
    }
    RegCloseKey(bus);
  }
  return found;
}

}  // namespace

std::string UnderSysRoot(const std::string& path) {
  return path;
}

SerialPortInfo DescribeOnePort(const std::string& name) {
  const std::string wanted = Lower(name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name);
  for (SerialPortInfo& port : EnumerateSerialPorts()) {
    if (Lower(port.path) == wanted) {
      port.open_path = name;
      return port;
    }
  }
  SerialPortInfo port;
  port.path = port.open_path = name;
  return port;
}

std::vector<SerialPortInfo> EnumerateSerialPorts() {
  std::vector<SerialPortInfo> ports;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return ports;
  }
  const std::map<std::string, UsbRecord> usb = UsbIdentities();
  for (DWORD i = 0;; ++i) {
    char device[256];
    DWORD device_size = sizeof device;
    BYTE data[256] = {};
    DWORD data_size = sizeof data - 1;
    DWORD type = 0;
    const LONG result =
        RegEnumValueA(key, i, device, &device_size, nullptr, &type, data, &data_size);
    if (result == ERROR_NO_MORE_ITEMS) {
      break;
    }
    if (result != ERROR_SUCCESS || type != REG_SZ) {
      continue;
    }
    SerialPortInfo port;
    port.path = reinterpret_cast<const char*>(data);
    port.open_path = port.path;
    port.system_name = device;
    const auto identity = usb.find(port.path);
    if (identity != usb.end()) {
      port.vendor_id = identity->second.vendor_id;
      port.product_id = identity->second.product_id;
      port.serial = identity->second.serial;
    }
    ports.push_back(port);
  }
  RegCloseKey(key);
  return ports;
}

}  // namespace TORVEK
