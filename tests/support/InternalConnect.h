#pragma once

#include <string>

#include "handler/Operations.h"
#include "link/AttenuatorHandlerImpl.h"

namespace TORVEK {

// Connect for the white-box tests that hold the implementation: open, then the identification,
// once, as the public Connect does.
inline bool ConnectOnce(AttenuatorHandlerImpl& impl, const std::string& port) {
  return operations::Connect(impl, port, 1) == ConnectResult::Connected;
}

}  // namespace TORVEK
