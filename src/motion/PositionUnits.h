#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace TORVEK {

// The position as it travels in a move command: exactly eight upper-case hexadecimal digits
// of the 32-bit two's-complement pattern (-1 is FFFFFFFF).
std::string FormatPositionHex(std::int32_t steps);

// Degrees to motor steps: widened to double, multiplied by the scale and truncated toward
// zero (0.9999 and -0.9999 steps both become 0). Nothing when the result is not a number or
// does not fit in 32 bits.
std::optional<std::int32_t> StepsForDegrees(double degrees, double pulses_per_degree);

// Motor steps to degrees: divided by the scale in double, then narrowed to float.
float DegreesForSteps(std::int32_t steps, double pulses_per_degree);

}  // namespace TORVEK
