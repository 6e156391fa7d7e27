#pragma once

#include "link/Escape.h"

namespace torvek::tools {

// The line as the library's wire trace shows it.
inline std::string Escape(std::string_view bytes) {
  return TORVEK::EscapedBytes(bytes);
}

}  // namespace torvek::tools
