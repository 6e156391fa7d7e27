#pragma once

#include <optional>
#include <string>

#include "Results.h"

namespace torvek::ctl {

// The library's Connect only says yes or no. Before calling it we look at the port ourselves,
// so that a missing device file or a permission problem gets a precise message and hint.
// Nothing on Windows, where a COM name is not a file to look at.
std::optional<Failure> CheckPort(const std::string& port);

// The failure for a port that cannot be used because of `error` (an errno value).
Failure PortFailure(const std::string& port, int error);

// The name of the group `port` belongs to (its number when it has no name); empty when the port
// cannot be looked at, and on Windows.
std::string OwningGroup(const std::string& port);

// What to do when this user may not open `port`: join its group.
std::string JoinGroupHint(const std::string& port);

// The failure when Connect said no although the port looked usable.
Failure NoDeviceFailure(const std::string& port);

}  // namespace torvek::ctl
