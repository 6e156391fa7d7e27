#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace torvek::sim {

// Reply lines as the device puts them on the wire: address, two-letter tag, fixed-width data, CR
// LF. Hex digits are upper case; signed values are sent as their 32-bit two's-complement pattern.

// "0GS" + 2 hex digits. Throws std::out_of_range unless 0 <= code <= 255.
std::string StatusFrame(int code, char address = '0');
// "0PO" + 8 hex digits.
std::string PositionFrame(std::int32_t steps, char address = '0');
// "0HO" + 8 hex digits.
std::string HomeOffsetFrame(std::int32_t steps, char address = '0');

// The 30 data characters of an identification reply, field by field.
struct InfoFields {
  std::string unused = "00";                 // 2 characters
  std::string ident_a;                       // 8 characters
  std::string ident_b;                       // 4 characters
  std::string ident_c;                       // 2 characters
  std::string ident_d;                       // 2 characters
  std::uint16_t degrees_per_revolution = 0;  // sent as 4 hex digits
  std::uint32_t pulses_per_revolution = 0;   // sent as 8 hex digits
};

// "0IN" + 30 characters. Throws std::invalid_argument if `data` or a field has the wrong width.
std::string InfoFrame(std::string_view data, char address = '0');
std::string InfoFrame(const InfoFields& fields, char address = '0');

}  // namespace torvek::sim
