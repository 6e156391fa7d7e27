#pragma once

#include <string>
#include <vector>

namespace torvek::ctl {

// A serial port of this machine, with what the system knows of it. Empty strings for what it
// does not know.
struct SerialPort {
  std::string path;                // as the system names it: /dev/ttyUSB0, COM3
  std::string open_path;           // what to open: `path`, under TORVEK_ATTENUATOR_SYSROOT when set
  std::vector<std::string> by_id;  // the /dev/serial/by-id links to it, the names that last
  // The USB device the port belongs to.
  std::string vendor_id;
  std::string product_id;
  std::string serial;
  std::string manufacturer;
  std::string product;
  std::string driver;
  std::string system_name;  // Windows: the device behind the COM name, \Device\Serial0
  // Whether this user may open it for reading and writing; when not, why (an errno value), and
  // its group, which the user may join.
  bool may_open = true;
  int open_error = 0;
  std::string group;
};

// The serial ports present, in name order (ttyUSB2 before ttyUSB10): USB adapters, modems of
// the ACM class, and on-board UARTs that have hardware behind them. On Linux it reads /dev and
// /sys under the directory named by TORVEK_ATTENUATOR_SYSROOT when set, so that a test can
// give it a tree of its own.
std::vector<SerialPort> ListSerialPorts();

// `path` (absolute) under TORVEK_ATTENUATOR_SYSROOT; `path` itself when that is not set.
std::string UnderSysRoot(const std::string& path);

}  // namespace torvek::ctl
