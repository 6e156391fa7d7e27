#pragma once

#include <optional>

#include <torvek/AttenuatorHandler.h>

#include "Output.h"

namespace torvek::ctl {

// `attenuatorctl ports`: every serial port with what the system knows of it and, with `probe`,
// what answered on it; `prober` does the asking.
Report PortsReport(TORVEK::AttenuatorHandler& prober, bool probe, int timeout_ms);

// `--port auto`: the one port where an attenuator answers. With none or several, nothing, with
// *failure saying so and *listing holding every port and what it said.
std::optional<TORVEK::SerialPortInfo> FindAttenuator(TORVEK::AttenuatorHandler& prober,
                                                     int timeout_ms, Failure* failure,
                                                     Report* listing);

}  // namespace torvek::ctl
