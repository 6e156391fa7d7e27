#include "protocol/HexField.h"

namespace TORVEK {
namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::optional<std::int32_t> ReadHexField(std::string_view field) {
  std::size_t i = 0;
  while (i < field.size() && IsSpace(field[i])) {
    ++i;
  }
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
    negative = field[i] == '-';
    ++i;
  }
  // "0x" counts as a prefix only when a digit follows; otherwise the 0 is the number.
  if (i + 2 < field.size() && field[i] == '0' && (field[i + 1] == 'x' || field[i + 1] == 'X') &&
      HexDigitValue(field[i + 2]) >= 0) {
    i += 2;
  }
  std::uint32_t value = 0;
  bool any_digit = false;
  for (; i < field.size(); ++i) {
    const int digit = HexDigitValue(field[i]);
    if (digit < 0) {
      break;
    }
    value = (value << 4) | static_cast<std::uint32_t>(digit);
    any_digit = true;
  }
  if (!any_digit) {
    return std::nullopt;
  }
  if (negative) {
    value = 0u - value;
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace TORVEK
