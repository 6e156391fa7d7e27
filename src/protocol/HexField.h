#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace TORVEK {

// Reads a number field of a reply the lenient way the device's frames have always been read:
// leading white space, an optional sign (minus negates modulo 2^32), an optional 0x or 0X,
// then hexadecimal digits of either case up to the first character that is not one; the rest
// of the field is ignored. The low 32 bits are taken as a signed two's-complement value, so
// FFFFFFFF gives -1. No digit at all gives nothing.
std::optional<std::int32_t> ReadHexField(std::string_view field);

}  // namespace TORVEK
