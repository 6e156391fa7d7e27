#include "Frames.h"

#include <stdexcept>

namespace torvek::sim {
namespace {

std::string Hex(std::uint32_t value, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4)
    text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
  return text;
}

std::string Frame(char address, std::string_view tag, std::string_view data) {
  std::string frame(1, address);
  frame.append(tag).append(data).append("\r\n");
  return frame;
}

const std::string& Checked(const std::string& field, std::size_t width, const char* name) {
  if (field.size() != width) {
    throw std::invalid_argument(std::string("InfoFrame: ") + name + " needs " +
                                std::to_string(width) + " characters");
  }
  return field;
}

}  // namespace

std::string StatusFrame(int code, char address) {
  if (code < 0 || code > 0xFF)
    throw std::out_of_range("StatusFrame: code must fit in one byte");
  return Frame(address, "GS", Hex(static_cast<std::uint32_t>(code), 2));
}

std::string PositionFrame(std::int32_t steps, char address) {
  return Frame(address, "PO", Hex(static_cast<std::uint32_t>(steps), 8));
}

std::string HomeOffsetFrame(std::int32_t steps, char address) {
  return Frame(address, "HO", Hex(static_cast<std::uint32_t>(steps), 8));
}

std::string InfoFrame(std::string_view data, char address) {
  if (data.size() != 30)
    throw std::invalid_argument("InfoFrame: data needs 30 characters");
  return Frame(address, "IN", data);
}

std::string InfoFrame(const InfoFields& f, char address) {
  std::string data = Checked(f.unused, 2, "unused");
  data += Checked(f.ident_a, 8, "ident_a");
  data += Checked(f.ident_b, 4, "ident_b");
  data += Checked(f.ident_c, 2, "ident_c");
  data += Checked(f.ident_d, 2, "ident_d");
  data += Hex(f.degrees_per_revolution, 4);
  data += Hex(f.pulses_per_revolution, 8);
  return InfoFrame(data, address);
}

}  // namespace torvek::sim
