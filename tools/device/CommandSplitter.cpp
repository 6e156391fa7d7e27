#include "CommandSplitter.h"

namespace torvek::sim {

std::size_t CommandSplitter::CommandLength(std::string_view head) {
  if (head.size() < 3)
    return 0;
  const std::string_view op = head.substr(1, 2);
  if (op == "ma")
    return 11;
  if (op == "ho")
    return 4;
  return 3;
}

void CommandSplitter::Feed(std::string_view bytes) {
  buffer_.erase(0, head_);
  head_ = 0;
  buffer_.append(bytes);
}

std::optional<std::string> CommandSplitter::Next() {
  const std::string_view rest = std::string_view(buffer_).substr(head_);
  const std::size_t length = CommandLength(rest);
  if (length == 0 || rest.size() < length)
    return std::nullopt;
  std::string command(rest.substr(0, length));
  head_ += length;
  if (head_ == buffer_.size())
    Clear();
  return command;
}

std::string CommandSplitter::Pending() const {
  std::string_view rest = std::string_view(buffer_).substr(head_);
  for (std::size_t n = CommandLength(rest); n != 0 && rest.size() >= n; n = CommandLength(rest)) {
    rest.remove_prefix(n);
  }
  return std::string(rest);
}

void CommandSplitter::Clear() {
  buffer_.clear();
  head_ = 0;
}

}  // namespace torvek::sim
