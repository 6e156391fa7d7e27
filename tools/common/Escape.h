#pragma once

#include "link/Escape.h"

namespace torvek_tools {

// The line as the library's wire trace shows it.
inline std::string Escape(std::string_view bytes) {
  return TORVEK::EscapedBytes(bytes);
}

}  // namespace torvek_tools
