#include "motion/PositionUnits.h"

#include <cmath>

namespace TORVEK {

std::string FormatPositionHex(std::int32_t steps) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::uint32_t pattern = static_cast<std::uint32_t>(steps);
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i) {
    text[static_cast<std::size_t>(i)] = kDigits[pattern & 0xFu];
    pattern >>= 4;
  }
  return text;
}

std::optional<std::int32_t> StepsForDegrees(double degrees, double pulses_per_degree) {
  const double steps = std::trunc(degrees * pulses_per_degree);
  // Written so that NaN fails too.
  if (!(steps >= -2147483648.0 && steps <= 2147483647.0)) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(steps);
}

float DegreesForSteps(std::int32_t steps, double pulses_per_degree) {
  return static_cast<float>(static_cast<double>(steps) / pulses_per_degree);
}

}  // namespace TORVEK
