#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace torvek::sim {

// Cuts the unterminated byte stream the host writes into commands. The device can only go by
// length: "?ma" carries 8 more characters, "?ho" one more, everything else is 3 characters. The
// address character is not checked, so a stray byte shifts every later command, as on the device.
class CommandSplitter {
 public:
  void Feed(std::string_view bytes);
  // The next whole command, if one has arrived.
  std::optional<std::string> Next();
  // Bytes after the last whole command: the start of a command still being written.
  std::string Pending() const;
  void Clear();

  // Length of the command starting `head`, or 0 while fewer than 3 bytes have arrived.
  static std::size_t CommandLength(std::string_view head);

 private:
  std::string buffer_;
  std::size_t head_ = 0;  // consumed prefix of buffer_
};

}  // namespace torvek::sim
