#pragma once

#include <string>
#include <vector>

#include "torvek/AttenuatorHandler.h"

// The machine's serial ports as the system lists them (PortListPosix.cpp, PortListWindows.cpp),
// and port names that stand for a USB adapter wherever it is plugged in (PortName.cpp).

namespace TORVEK {

// The ports present, in no particular order.
std::vector<SerialPortInfo> EnumerateSerialPorts();

// What the system tells of one port, named as it is opened.
SerialPortInfo DescribeOnePort(const std::string& name);

// `path` (absolute) under TORVEK_ATTENUATOR_SYSROOT; `path` itself when that is not set.
std::string UnderSysRoot(const std::string& path);

// ttyUSB10 after ttyUSB2, COM10 after COM3: the digits at the end of a name count as a number.
bool PortNameOrder(const std::string& a, const std::string& b);

// ASCII letters in lower case: USB ids and Windows port names compare so.
std::string Lower(std::string text);

}  // namespace TORVEK
