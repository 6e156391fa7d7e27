#pragma once

#include <string>

namespace TORVEK {

// The home offset as MotorInfo carries it: the float widened to double, fixed notation, six
// decimals ("1.500000", "-0.040179"), the same whatever locale the host has set.
std::string HomeOffsetText(float degrees);

}  // namespace TORVEK
