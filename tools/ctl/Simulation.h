#pragma once

#include <memory>

#include "WireTap.h"

namespace torvek::ctl {

// Starts a default simulated attenuator (9600 baud, the device attenuator-sim plays without
// options) on a new pseudo-terminal in this process. Throws std::system_error if no pty can be
// had. Only built where ptys exist.
std::unique_ptr<WireTap> StartSimulation();

}  // namespace torvek::ctl
