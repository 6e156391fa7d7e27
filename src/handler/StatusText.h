#pragma once

#include <cstdint>

namespace TORVEK {

// The values a quantity accepts, in words (TORVEK_ATT_RANGE_*), for the hint of an
// InvalidArgument; "" for an unknown quantity. StatusName and StatusHint are public.
const char* AcceptedRange(std::int32_t quantity);

}  // namespace TORVEK
