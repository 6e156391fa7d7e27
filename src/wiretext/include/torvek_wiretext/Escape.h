#pragma once

#include <string>
#include <string_view>

namespace TORVEK {

// Bytes as a reader can see them on one line: printable ASCII as it is, CR and LF as \r and \n,
// a backslash doubled, anything else as \xHH. The library's wire trace, the simulator's trace
// and attenuatorctl show the line the same way, so that their lines can be laid side by side;
// the header is a target of its own (torvek_wire_text), so that the tools share it without
// reaching into the library's sources.
inline std::string EscapedBytes(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\\') {
      text += "\\\\";
    } else if (u >= 0x20 && u < 0x7F) {
      text += c;
    } else {
      text += "\\x";
      text += kHex[u >> 4];
      text += kHex[u & 0xF];
    }
  }
  return text;
}

}  // namespace TORVEK
