#pragma once

#include <string>

namespace TORVEK {

// The home offset as MotorInfo carries it: the float widened to double, fixed notation, six
// decimals ("1.500000", "-0.040179"), the same whatever locale the host has set.
std::string HomeOffsetText(float degrees);

// The result of GetMotorInfo from its two requests: Ok when both are Ok, otherwise the smaller
// of the two, so a library failure outranks a device code and a 0 hides the other's code.
int MergedInfoResult(int info_result, int offset_result);

}  // namespace TORVEK
